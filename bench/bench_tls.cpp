// Benchmark of the TLS stream on loopback (a measurement, never a test): MIB mebibytes go from
// a server connection to a client connection (download) and back (upload), both with TLS
// streams, then the same download with openssl's own s_server and s_client, the same
// certificate and cipher. Reports MiB/s of each and our share of openssl's.
//
//   bench_tls [MIB=1024] [BATCH=65536] [CIPHER=the one our handshake negotiates]
//
// The key store is a temporary directory (NORBIT_KEYS_DIR), removed at the end. Our two
// figures are printed before openssl runs: s_server -quiet has been seen to stall with large
// inputs on this system, and then its pair is ended by a 120 s time-out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "net/nbConnection.h"
#include "tls/nbCertificateStore.h"
#include "tls/nbTlsStream.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename T>
std::unique_ptr<T> MakeConnection(const std::shared_ptr<nb::TnbCertificate>& certificate,
                                  int batch) {
    auto connection = std::make_unique<T>();
    auto stream = std::make_unique<nb::TnbTlsNetworkStream>();
    stream->OnGetCertificate = [certificate](nb::TnbTlsNetworkStream&,
                                             std::shared_ptr<nb::TnbCertificate>& c,
                                             nb::TnbCertificateList&, bool&) { c = certificate; };
    stream->TargetName = "localhost";
    stream->VerifyIgnoreFlags = nb::nbIgnoreUnknownCa;
    connection->SetNetworkStream(std::move(stream));
    connection->SetLocalBinding("127.0.0.1");
    connection->SetNoMessagePump(true);
    connection->SetTimeOut(60000);
    connection->SetBatchSize(batch);
    return connection;
}

// Sends total bytes from one to the other in blocks of the batch size; MiB/s.
double Transfer(nb::TnbConnection& from, nb::TnbConnection& to, std::int64_t total, int batch) {
    const std::string block(static_cast<std::size_t>(batch), 'x');
    const auto start = Clock::now();
    auto reader = std::async(std::launch::async, [&] {
        nb::TnbMemoryStream sink;
        std::int64_t got = 0;
        while (got < total && to.Active()) {
            sink.Clear();
            to.ReadData(&sink);
            got += sink.GetSize();
        }
        return got;
    });
    for (std::int64_t sent = 0; sent < total; sent += batch) {
        nb::TnbMemoryStream source(block);
        from.WriteData(&source);
    }
    const std::int64_t got = reader.get();
    const double seconds = Seconds(start);
    if (got < total)
        std::fprintf(stderr, "bench_tls: only %lld of %lld bytes arrived\n",
                     static_cast<long long>(got), static_cast<long long>(total));
    return static_cast<double>(total) / (1024.0 * 1024.0) / seconds;
}

// A port on 127.0.0.1 that was free a moment ago.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// s_server sends total bytes of its standard input; s_client's output ends in head, which
// stops after total bytes (the client then ends, and the server with it).
double OpenSslDownload(const std::string& dir, std::int64_t total, const std::string& cipher) {
    const std::string port = std::to_string(FreePort());
    const std::string count = std::to_string(total);
    const std::string server = "head -c " + count + " /dev/zero | timeout 120 openssl s_server " +
                               "-quiet -naccept 1 -accept " + port + " -cert " + dir +
                               "/cert.pem -key " + dir + "/key.pem -cipher " + cipher +
                               " -tls1_2 >/dev/null 2>&1 &";
    std::system(server.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the server starts listening
    const std::string client = "timeout 120 openssl s_client -quiet -connect 127.0.0.1:" + port +
                               " -cipher " + cipher + " -tls1_2 </dev/null 2>/dev/null | head -c " +
                               count + " >/dev/null";
    const auto start = Clock::now();
    std::system(client.c_str());
    return static_cast<double>(total) / (1024.0 * 1024.0) / Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int batch = argc > 2 ? std::atoi(argv[2]) : 65536;
    std::string cipher = argc > 3 ? argv[3] : "";
    const std::int64_t total = mib * 1024 * 1024;

    std::string dir = (std::filesystem::temp_directory_path() / "nbbenchtls.XXXXXX").string();
    if (!::mkdtemp(dir.data()))
        return 1;
    ::setenv("NORBIT_KEYS_DIR", (dir + "/keys").c_str(), 1);
    nb::TnbCertificateStore store;
    const auto certificate = store.CreateSelfSigned("CN=localhost", 0);

    // The same certificate and key for openssl.
    FILE* file = std::fopen((dir + "/cert.pem").c_str(), "w");
    PEM_write_X509(file, certificate->ContextHandle()->Cert());
    std::fclose(file);
    file = std::fopen((dir + "/key.pem").c_str(), "w");
    PEM_write_PrivateKey(file, certificate->ContextHandle()->PrivateKey().get(), nullptr, nullptr,
                         0, nullptr, nullptr);
    std::fclose(file);

    auto server = MakeConnection<nb::TnbTcpServerConnection>(certificate, batch);
    auto client = MakeConnection<nb::TnbTcpClientConnection>(certificate, batch);
    const int port = server->Listen(0);
    auto accepted = std::async(std::launch::async, [&] { server->Accept(); });
    client->Open("127.0.0.1", port);
    accepted.get();
    auto& stream = dynamic_cast<nb::TnbTlsNetworkStream&>(server->GetNetworkStream());
    // openssl gets the cipher this handshake chose.
    if (cipher.empty())
        cipher = stream.GetTls()->ConnectionInfo().Cipher;
    std::printf("cipher: %s\n", cipher.c_str());

    const double download = Transfer(*server, *client, total, batch);
    const double upload = Transfer(*client, *server, total, batch);
    client->Close(true);
    server->Close(false);
    std::printf("%lld MiB, batch %d\n", static_cast<long long>(mib), batch);
    std::printf("TLS stream download: %8.1f MiB/s\nTLS stream upload:   %8.1f MiB/s\n", download,
                upload);
    const double openssl = OpenSslDownload(dir, total, cipher);
    std::printf("openssl s_server -> s_client: %8.1f MiB/s\n", openssl);
    std::printf("download %.0f%%, upload %.0f%% of openssl\n", 100.0 * download / openssl,
                100.0 * upload / openssl);
    std::filesystem::remove_all(dir);
    return 0;
}
