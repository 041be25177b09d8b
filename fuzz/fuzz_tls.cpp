// TLS server engine input: arbitrary bytes from a peer, in arbitrary pieces, as the TLS stream
// feeds them to a server engine. Properties:
// - no crash, and nothing but the library's EnbSSPIError is ever raised;
// - the bytes the engine keeps for the next step never grow past one record, however the
//   input is cut (a peer cannot make the server buffer without bound);
// - a failed step leaves at most an alert to send, never the peer's own bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/nbFuzzSupport.h"
#include "tls/nbCertificateStore.h"
#include "tls/nbSspiTls.h"
#include "util/nbLimits.h"

namespace {

using nb::fuzz::Require;
using S = nb::TnbTlsState;

std::string& KeysRoot() {
    static std::string root;
    return root;
}

void RemoveKeys() {
    std::error_code ec;
    std::filesystem::remove_all(KeysRoot(), ec);
}

// One certificate for the whole run, its key in a key store of its own below /tmp.
const nb::TnbCertificateList& Certificates() {
    static nb::TnbCertificateList list(false);
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (std::filesystem::temp_directory_path() / "nbfuzztls.XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        nb::fuzz::Fail("a temporary key store");
    KeysRoot() = pattern;
    ::setenv("NORBIT_KEYS_DIR", (pattern + "/keys").c_str(), 1);
    std::atexit(&RemoveKeys);
    nb::TnbCertificateStore store;
    const_cast<nb::TnbCertificateList&>(Certificates())
        .Add(store.CreateSelfSigned("CN=localhost", 0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    nb::TnbTlsServerSspi server;
    if (provider.ConsumeBool())
        server.TLSFlags = {nb::TnbTlsFlag::tfUseTLS12, nb::TnbTlsFlag::tfUseTLS13};
    server.RequireClientCertificate = provider.ConsumeBool();
    nb::TnbMemoryStream buffer;
    nb::TnbMemoryStream plain;
    S state = S::tsWaitToken;
    bool done = false;
    try {
        while (provider.remaining_bytes() > 0) {
            const std::string piece = provider.ConsumeRandomLengthString(4096);
            if (piece.empty())
                continue;
            if (state != S::tsIncompleteToken && state != S::tsIncompleteRecord)
                buffer.Clear();
            buffer.Seek(0, nb::TnbSeekOrigin::soEnd);
            buffer.WriteString(piece);
            buffer.SetPosition(0);
            if (!done) {
                state = server.HandshakeStep(buffer, Certificates(), false);
                done = state == S::tsDone || state == S::tsDoneWithData;
                if (state == S::tsSendToken)
                    state = S::tsWaitToken;
                if (state != S::tsIncompleteToken)
                    buffer.Clear();
            } else {
                plain.Clear();
                state = server.Decrypt(buffer, &plain, buffer);
                if (state == S::tsPartialRecord)
                    state = S::tsIncompleteRecord;
                if (state == S::tsClosed)
                    break;
            }
            Require(buffer.GetSize() <= static_cast<std::int64_t>(5 + nb::kMaxTlsRecordPayload),
                    "the kept bytes stay within one record", std::to_string(buffer.GetSize()));
        }
    } catch (const nb::EnbSSPIError&) {
        const std::string left = buffer.ToString();
        Require(left.empty() || static_cast<unsigned char>(left[0]) == 21,
                "a failed step leaves only an alert", left);
    } catch (const std::exception& e) {
        nb::fuzz::Fail("only the library's exceptions", e.what());
    }
    return 0;
}
