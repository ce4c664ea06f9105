// Arbitrary bytes, cut into chunks at arbitrary points, through the client's receive
// path: decoding, framing, parsing and dispatch, with handlers that look at every
// event. No connection is made, so nothing is sent.

#include "Jabber.h"

#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

class TFuzzClient : public TJabberClient {
public:
    using TJabberClient::ParseData;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    FuzzedDataProvider input(Data, Size);
    TFuzzClient client;
    size_t seen = 0;
    auto text = [&](TJabberClient*, const QString& Text) {
        seen += size_t(Text.size());
    };
    client.OnReceiveData = text;
    client.OnMessage = text;
    client.OnPresence = text;
    client.OnIQ = text;
    client.OnGetRoster = text;
    client.OnLoginError = text;
    client.OnJabberOnline = [&](TJabberClient*) {
        ++seen;
    };
    client.OnDisconnect = [&](TJabberClient*) {
        ++seen;
    };
    while (input.remaining_bytes() > 0) {
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, 300);
        const std::vector<uint8_t> chunk = input.ConsumeBytes<uint8_t>(length);
        client.ParseData(chunk.data(), uint32_t(chunk.size()));
    }
    return seen == size_t(-1);
}
