#include "wuWebUpdateInfo.h"

#include "HttpFixture.h"
#include "wuWebUpdate.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>
#include <QWebEngineView>
#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
// Chromium inside Qt WebEngine frees some of its own objects with a sized
// delete of another type; that is not ours to find here.
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}
#endif

namespace {

// Set before the application object exists: Qt WebEngine wants shared GL
// contexts, and Chromium's sandbox cannot run as root in a container.
const bool kWebEngineReady = [] {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    return true;
}();

// Runs the event loop until done() holds, at most for the given time.
template <typename Done> bool WaitFor(Done done, int milliseconds = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

TEST(WebUpdateInfoDialogTest, HasItsFixedLayout) {
    Tfrm_ShowInfoUpdate dialog;
    dialog.show();
    EXPECT_EQ(dialog.size(), QSize(530, 453));
    EXPECT_EQ(dialog.windowTitle(), "wuWebUpdate");
    EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_EQ(dialog.font().pixelSize(), 11);

    EXPECT_EQ(dialog.Panel_Bottom->geometry(), QRect(0, 412, 530, 41));
    EXPECT_EQ(dialog.Panel2->geometry(), QRect(0, 381, 530, 31));
    EXPECT_EQ(dialog.Panel1->geometry(), QRect(0, 0, 530, 381));
    EXPECT_EQ(dialog.WebBrowser->parentWidget(), dialog.Panel1);
    EXPECT_TRUE(dialog.Panel1->geometry().contains(
        dialog.WebBrowser->geometry().translated(dialog.Panel1->pos())));
    EXPECT_EQ(dialog.chk_FutureUpdate->parentWidget(), dialog.Panel2);
    EXPECT_EQ(dialog.chk_FutureUpdate->geometry(), QRect(8, 6, 497, 17));
    EXPECT_TRUE(dialog.chk_FutureUpdate->isChecked());
    for (QPushButton* button : {dialog.btn_OK, dialog.btn_Cancel}) {
        EXPECT_EQ(button->parentWidget(), dialog.Panel_Bottom);
        EXPECT_EQ(button->size(), QSize(75, 25));
        EXPECT_EQ(button->y(), 10);
        EXPECT_EQ(button->cursor().shape(), Qt::PointingHandCursor);
    }
    EXPECT_TRUE(dialog.btn_OK->isDefault());
    EXPECT_FALSE(dialog.btn_Cancel->isDefault());
    // Centred on the 530-pixel panel as the resize rule puts them.
    EXPECT_EQ(dialog.btn_OK->x(), 187);
    EXPECT_EQ(dialog.btn_Cancel->x(), 265);
}

TEST(WebUpdateInfoDialogTest, ButtonsFollowThePanelWidth) {
    Tfrm_ShowInfoUpdate dialog;
    dialog.show();
    const struct {
        int Width, Ok, Cancel;
    } cases[] = {{522, 183, 261}, {156, 0, 78}, {155, 0, 78}, {154, -1, 77}, {1000, 422, 500}};
    for (const auto& c : cases) {
        dialog.Panel_Bottom->resize(c.Width, 41);
        EXPECT_EQ(dialog.btn_OK->x(), c.Ok) << c.Width;
        EXPECT_EQ(dialog.btn_Cancel->x(), c.Cancel) << c.Width;
    }
}

TEST(WebUpdateInfoDialogTest, EnterAnswersOkAndEscCancels) {
    Tfrm_ShowInfoUpdate dialog;
    dialog.SetCaptions("&OK", "&Cancel", "Kontrolovat nadále aktualizace");
    dialog.SetCheckForUpdate(false);
    EXPECT_EQ(dialog.btn_Cancel->text(), "&Cancel");
    EXPECT_EQ(dialog.chk_FutureUpdate->text(), "Kontrolovat nadále aktualizace");
    EXPECT_FALSE(dialog.CheckForUpdate());

    const auto pressLater = [&dialog](Qt::Key key) {
        QTimer::singleShot(0, &dialog, [&dialog, key] {
            QCoreApplication::postEvent(&dialog,
                                        new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
        });
    };
    pressLater(Qt::Key_Return);
    EXPECT_TRUE(dialog.ShowModal());
    pressLater(Qt::Key_Escape);
    EXPECT_FALSE(dialog.ShowModal());
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.btn_Cancel->click(); });
    EXPECT_FALSE(dialog.ShowModal());
}

TEST(WebUpdateInfoDialogTest, CheckWithTheQtDesktopShowsThePageInTheDialog) {
    THttpFixture server;
    ASSERT_NE(server.Port(), 0);
    server.Put("info.html", "<html><head>\r\n<META NAME=\"wuProduct\" CONTENT=\"Velora\">\r\n"
                            "<META NAME=\"wuVersion\" CONTENT=\"2.0\">\r\n"
                            "</head><body>New version</body></html>\r\n");
    TwuWebUpdate update;
    update.SetHTTPPort(server.Port());
    update.ProductInfo().SetURL(server.Url("/info.html"));
    bool afterShowInfo = false;
    update.OnAfterShowInfo = [&](TwuWebUpdate*, bool) {
        afterShowInfo = true;
    };

    Tfrm_ShowInfoUpdate* shown = nullptr;
    bool pageRequested = false;
    // The check processes events while it fetches the page, so look for the
    // dialog until it is there (the poll ends with the test in any case).
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        shown = dynamic_cast<Tfrm_ShowInfoUpdate*>(QApplication::activeModalWidget());
        if (!shown)
            return;
        poll.stop();
        // The web view asks the server for the page a second time.
        pageRequested = WaitFor([&] { return server.RequestLines().size() >= 2; });
        shown->btn_Cancel->click();
    });
    poll.start();
    EXPECT_FALSE(update.CheckForAnUpdate());
    ASSERT_NE(shown, nullptr) << "the dialog did not open";
    EXPECT_EQ(shown->WebBrowser->url().toString(), server.Url("/info.html"));
    EXPECT_EQ(shown->btn_OK->text(), "&OK");
    EXPECT_TRUE(pageRequested) << qPrintable(server.Log());
    EXPECT_TRUE(afterShowInfo);
}

} // namespace
