#pragma once

// Fixed texts and values of the XMPP client: namespaces, stanza ids, SASL constants
// and the error texts. Everything the client puts on the wire that is not a value of
// the account comes from here.

#include <QLatin1StringView>

namespace jbconst {

// Server used until the owner sets its own; a reserved example domain.
inline constexpr QLatin1StringView DefaultJabberServer{"xmpp.velora.example"};
inline constexpr quint16 DefaultJabberPort = 5222;
inline constexpr QLatin1StringView DefaultResource{"tolvin"};

inline constexpr QLatin1StringView NsStreams{"http://etherx.jabber.org/streams"};
inline constexpr QLatin1StringView NsXml{"http://www.w3.org/XML/1998/namespace"};
inline constexpr QLatin1StringView NsSasl{"urn:ietf:params:xml:ns:xmpp-sasl"};
inline constexpr QLatin1StringView NsTls{"urn:ietf:params:xml:ns:xmpp-tls"};
inline constexpr QLatin1StringView NsBind{"urn:ietf:params:xml:ns:xmpp-bind"};
inline constexpr QLatin1StringView NsSession{"urn:ietf:params:xml:ns:xmpp-session"};
inline constexpr QLatin1StringView NsIqAuth{"jabber:iq:auth"};
inline constexpr QLatin1StringView NsRoster{"jabber:iq:roster"};
inline constexpr QLatin1StringView NsPrivate{"jabber:iq:private"};
inline constexpr QLatin1StringView NsBookmarks{"storage:bookmarks"};
inline constexpr QLatin1StringView NsPing{"urn:xmpp:ping"};
inline constexpr QLatin1StringView NsStanzas{"urn:ietf:params:xml:ns:xmpp-stanzas"};

inline constexpr QLatin1StringView IdBind{"bind_1"};
inline constexpr QLatin1StringView IdAuthStart{"auth_1"};
inline constexpr QLatin1StringView IdAuthRequest{"auth_2"};

inline constexpr QLatin1StringView MechDigestMd5{"DIGEST-MD5"};
inline constexpr QLatin1StringView MechPlain{"PLAIN"};

// The nonce count is never increased: every login answers one challenge.
inline constexpr QLatin1StringView NonceCount{"00000001"};
inline constexpr QLatin1StringView DigestUriPrefix{"xmpp/"};

// Largest text SendStr hands to the socket, in UTF-8 bytes.
inline constexpr qsizetype MaxSendBytes = 0xFFFE;
// A peer that leaves more than this many characters without completing a stanza
// is disconnected.
inline constexpr qsizetype MaxReceiveBuffer = 1024 * 1024;

inline constexpr QLatin1StringView ErrBigString{"Big String for send"};
inline constexpr QLatin1StringView ErrConnect{"Error Connect"};
inline constexpr QLatin1StringView ErrProtocol{"Protokol Error"};

inline constexpr QLatin1StringView DiagnosticContact{"support@velora.example"};

} // namespace jbconst
