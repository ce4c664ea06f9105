#pragma once

// What a window manager would do, for end-to-end tests on a bare Xvfb.
#include <QString>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

// Asks a window to close the way a title bar's close button does: the
// WM_DELETE_WINDOW message of the ICCCM. False when the display cannot be reached.
inline bool AskWindowToClose(const QString& display, const QString& window) {
    xcb_connection_t* c = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    const auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        xcb_atom_t atom = XCB_ATOM_NONE;
        if (reply)
            atom = reply->atom;
        std::free(reply);
        return atom;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window.toUInt();
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    // Checked, so that the server has handled it before the connection closes.
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_send_event_checked(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                                                    reinterpret_cast<const char*>(&event)));
    const bool sent = error == nullptr;
    std::free(error);
    xcb_disconnect(c);
    return sent;
}
