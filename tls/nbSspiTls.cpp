#include "tls/nbSspiTls.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "util/nbUtils.h"

namespace nb {

namespace {

constexpr const char* kPreferredPackages[] = {
    "Microsoft Unified Security Protocol Provider",
    "Microsoft SSL 3.0",
    "NTLM",
    "Negotiate",
};

void ReplaceContent(TnbMemoryStream& stream, const std::uint8_t* data, std::size_t size) {
    stream.Clear();
    if (size > 0)
        stream.Write(data, static_cast<std::int64_t>(size));
    stream.SetPosition(0);
}

}  // namespace

std::string CurrentTimeAsDayCount() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    struct tm local {};
    localtime_r(&seconds, &local);
    const double fraction =
        duration<double>(now.time_since_epoch()).count() - static_cast<double>(seconds);
    // Days from 1899-12-30 to 1970-01-01: 25569.
    const double days =
        (static_cast<double>(seconds) + static_cast<double>(local.tm_gmtoff) + fraction) / 86400.0 +
        25569.0;
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", days);
    return text;
}

// ---- TnbTlsSspi ----

TnbTlsSspi::TnbTlsSspi(TnbProviderLoader loader) : TnbSspi(std::move(loader)) {
    packageIndex_ = ChoosePackage();
}

TnbTlsSspi::~TnbTlsSspi() {
    FreePeerCertificate();
    DeleteContext();
    FreeCredentials();
}

int TnbTlsSspi::ChoosePackage() {
    std::vector<TnbSecPkgInfo> packages;
    const SECURITY_STATUS status = GetFunctionTable().EnumerateSecurityPackages(packages);
    if (status < 0)
        RaiseSspiError(status, nbSspiErrQueryPackage);
    int best = 4;
    for (const TnbSecPkgInfo& package : packages) {
        for (int j = 0; j < 4; ++j) {
            if (package.Name == kPreferredPackages[j]) {
                best = std::min(best, j);
                break;
            }
        }
    }
    if (best > 3)
        RaiseSspiCode(nbSspiErrNoPackage);
    return best;
}

std::string TnbTlsSspi::PackageName() const {
    if (!Trim(securityPackage_).empty())
        return securityPackage_;
    return kPreferredPackages[packageIndex_];
}

TnbTlsState TnbTlsSspi::MapStatus(SECURITY_STATUS status, int fallbackCode) {
    switch (status) {
        case SEC_E_OK:
            return TnbTlsState::tsDone;
        case SEC_I_CONTINUE_NEEDED:
            return TnbTlsState::tsContinue;
        case SEC_I_COMPLETE_NEEDED:
            return TnbTlsState::tsSendClose;
        case SEC_I_CONTEXT_EXPIRED:
            return TnbTlsState::tsClosed;
        case SEC_I_RENEGOTIATE:
            return TnbTlsState::tsRenegotiate;
        case SEC_E_INCOMPLETE_MESSAGE:
            return TnbTlsState::tsIncompleteRecord;
        default:
            RaiseSspiError(status, fallbackCode);
    }
}

TnbCredentialRecord TnbTlsSspi::BuildRecord(bool server) const {
    using F = TnbTlsFlag;
    TnbCredentialRecord record;
    record.Flags = server ? 0 : SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    if (SendRootCertificate)
        record.Flags |= SCH_SEND_ROOT_CERT;
    if (UseStrongCryptoAlgorithms)
        record.Flags |= SCH_USE_STRONG_CRYPTO;
    struct TBit {
        F Flag;
        std::uint32_t Client, Server;
    };
    constexpr TBit bits[] = {
        {F::tfUseSSL3, SP_PROT_SSL3_CLIENT, SP_PROT_SSL3_SERVER},
        {F::tfUseTLS, SP_PROT_TLS1_CLIENT, SP_PROT_TLS1_SERVER},
        {F::tfUseTLS11, SP_PROT_TLS1_1_CLIENT, SP_PROT_TLS1_1_SERVER},
        {F::tfUseTLS12, SP_PROT_TLS1_2_CLIENT, SP_PROT_TLS1_2_SERVER},
    };
    for (const TBit& bit : bits) {
        if (TLSFlags.Contains(bit.Flag))
            record.EnabledProtocols |= server ? bit.Server : bit.Client;
    }
    if (TLSFlags.Contains(F::tfUseSSL2) && !TLSFlags.Contains(F::tfUseTLS12))
        record.EnabledProtocols |= server ? SP_PROT_SSL2_SERVER : SP_PROT_SSL2_CLIENT;
    record.EnableTls13 = TLSFlags.Contains(F::tfUseTLS13);
    if (server) {
        record.SessionScope = SessionScope;
        record.NoSessionTickets = NoSessionTickets;
    }
    // SSL 2.0 and 3.0 do not exist in this library: asking for them alone is unsupported.
    if (!TLSFlags.Contains(F::tfUseTLS) && !TLSFlags.Contains(F::tfUseTLS11) &&
        !TLSFlags.Contains(F::tfUseTLS12) && !record.EnableTls13) {
        RaiseSspiCode(nbSspiErrNotSupported);
    }
    if (!server) {
        record.ChainFlags = ChainFlagsToNative(CertChainFlags);
        constexpr std::pair<std::uint8_t, std::uint32_t> checks[] = {
            {nbIgnoreCertCnInvalid, SECURITY_FLAG_IGNORE_CERT_CN_INVALID},
            {nbIgnoreCertDateInvalid, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
            {nbIgnoreUnknownCa, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
            {nbIgnoreRevocation, SECURITY_FLAG_IGNORE_REVOCATION},
            {nbIgnoreWrongUsage, SECURITY_FLAG_IGNORE_WRONG_USAGE},
        };
        for (const auto& [bit, check] : checks) {
            if (VerifyIgnoreFlags & bit)
                record.PolicyChecks |= check;
        }
        record.IgnoreAllPolicy = (VerifyIgnoreFlags & nbIgnoreAllPolicy) != 0;
    }
    return record;
}

bool TnbTlsSspi::AcquireCredentials(const TnbCertificateList& certificates, bool force,
                                    std::uint32_t credentialUse, TnbCredentialRecord& record) {
    FreeCredentials();
    if (!force && certificates.Count() == 0)
        return false;
    record.Creds.clear();
    for (std::size_t i = 0; i < certificates.Count(); ++i)
        record.Creds.push_back(certificates.Items(i)->ContextHandle());
    const SECURITY_STATUS status = GetFunctionTable().AcquireCredentialsHandle(
        PackageName(), credentialUse, record, Credentials);
    record.Creds.clear();
    LastStatus = status;
    if (status < 0)
        MapStatus(status, nbSspiErrAcquireCredentials);
    return true;
}

void TnbTlsSspi::FreeCredentials() {
    if (Credentials)
        GetFunctionTable().FreeCredentialsHandle(Credentials);
}

void TnbTlsSspi::DeleteContext() {
    if (Context)
        GetFunctionTable().DeleteSecurityContext(Context);
}

const TnbStreamSizes& TnbTlsSspi::GetStreamSizes() {
    if (StreamSizes.Header == 0) {
        const SECURITY_STATUS status = GetFunctionTable().QueryContextAttributes(
            Context, SECPKG_ATTR_STREAM_SIZES, &StreamSizes);
        if (status != SEC_E_OK) {
            StreamSizes = {};
            MapStatus(status == SEC_E_INCOMPLETE_MESSAGE ? SEC_E_INVALID_HANDLE : status,
                      nbSspiErrQueryPackage);
        }
    }
    return StreamSizes;
}

void TnbTlsSspi::TakePendingInput(TnbMemoryStream& tokenStream) {
    if (pendingInput_.empty())
        return;
    std::string joined = std::move(pendingInput_);
    pendingInput_.clear();
    joined.append(tokenStream.View());
    ReplaceContent(tokenStream, reinterpret_cast<const std::uint8_t*>(joined.data()),
                   joined.size());
}

void TnbTlsSspi::FinishStep(TnbMemoryStream& tokenStream, TnbHandshakeBuffers& buffers, bool done) {
    const std::string_view rest = tokenStream.View().substr(buffers.Consumed);
    if (done)
        handshakeExtra_.assign(rest);
    else
        pendingInput_.assign(rest);
    ReplaceContent(tokenStream, buffers.Output.data(), buffers.Output.size());
}

void TnbTlsSspi::FailStep(TnbMemoryStream& tokenStream, TnbHandshakeBuffers& buffers,
                          SECURITY_STATUS status) {
    pendingInput_.clear();
    ReplaceContent(tokenStream, buffers.Output.data(), buffers.Output.size());
    RaiseSspiError(status, status);
}

TnbTlsState TnbTlsSspi::ShutdownContext(TnbMemoryStream& tokenStream, bool server) {
    PeerVerified = false;
    TnbTlsState result = TnbTlsState::tsDone;
    if (!Context) {
        FreeCredentials();
        return result;
    }
    // The context and the credentials go whatever happens.
    struct TRelease {
        TnbTlsSspi& Engine;
        ~TRelease() {
            Engine.DeleteContext();
            Engine.FreeCredentials();
        }
    } release{*this};
    const TnbSecurityFunctionTable& table = GetFunctionTable();
    TnbHandshakeBuffers buffers;
    SECURITY_STATUS status = table.ApplyControlToken(Context, SCHANNEL_SHUTDOWN);
    LastStatus = status;
    MapStatus(status, status);
    status = server
                 ? table.AcceptSecurityContext(Credentials, Context, ASC_REQ_SERVER_FLAGS, buffers)
                 : table.InitializeSecurityContext(Credentials, Context, {}, ISC_REQ_CLIENT_FLAGS,
                                                   buffers);
    LastStatus = status;
    result = MapStatus(status, status);
    if (!buffers.Output.empty()) {
        ReplaceContent(tokenStream, buffers.Output.data(), buffers.Output.size());
        result = TnbTlsState::tsSendClose;
    }
    return result;
}

TnbTlsState TnbTlsSspi::Encrypt(TnbStream& source, TnbMemoryStream& destination,
                                std::int64_t count) {
    const std::uint32_t maximum = GetStreamSizes().MaximumMessage;
    const std::int64_t start = source.GetPosition();
    const std::int64_t destinationPosition = destination.GetPosition();
    destination.Seek(0, TnbSeekOrigin::soEnd);
    // A memory source is protected where it lies; any other is read one record at a time into
    // one buffer, reused for every record of the call, and its end is where a read comes back
    // short (asking a file for its size costs a system call per chunk).
    TnbMemoryStream* memory = PlainMemoryStream(&source);
    if (memory)
        count = std::min(count, memory->GetSize() - start);
    TnbTlsState result = TnbTlsState::tsDone;
    try {
        std::int64_t done = 0;
        while (done < count) {
            auto n = static_cast<std::size_t>(std::min<std::int64_t>(count - done, maximum));
            const std::uint8_t* data = nullptr;
            bool end = false;
            if (memory) {
                data = reinterpret_cast<const std::uint8_t*>(memory->Memory()) + start + done;
            } else {
                recordBuffer_.resize(n);
                const std::int64_t read =
                    source.Read(recordBuffer_.data(), static_cast<std::int64_t>(n));
                if (read <= 0)
                    break;
                end = read < static_cast<std::int64_t>(n);
                n = static_cast<std::size_t>(read);
                data = recordBuffer_.data();
            }
            const SECURITY_STATUS status =
                GetFunctionTable().EncryptMessage(Context, data, n, destination);
            LastStatus = status;
            result = MapStatus(status, status);
            done += static_cast<std::int64_t>(n);
            if (end)
                break;
        }
    } catch (...) {
        source.SetPosition(start);
        destination.SetPosition(destinationPosition);
        throw;
    }
    source.SetPosition(start);
    destination.SetPosition(destinationPosition);
    return result;
}

TnbTlsState TnbTlsSspi::Decrypt(TnbMemoryStream& source, TnbStream* plain, TnbMemoryStream& extra) {
    const std::int64_t position = source.GetPosition();
    const auto* data = reinterpret_cast<const std::uint8_t*>(source.Memory()) + position;
    std::size_t remaining = static_cast<std::size_t>(source.GetSize() - position);
    std::size_t cursor = 0;
    bool decrypted = false;
    TnbTlsState result = TnbTlsState::tsIncompleteRecord;
    // A memory destination is unprotected into directly; any other gets the bytes through Write.
    TnbMemoryStream* direct = PlainMemoryStream(plain);
    plainBuffer_.Clear();
    TnbDecryptBuffers buffers;
    buffers.Plain = direct ? direct : &plainBuffer_;
    // Hands over what was unprotected, and keeps the bytes from cursor on in extra (which may
    // be source itself).
    auto finish = [&](bool keepRest) {
        if (plain && !direct && plainBuffer_.GetSize() > 0)
            plain->Write(plainBuffer_.Memory(), plainBuffer_.GetSize());
        plainBuffer_.Clear();
        if (!keepRest)
            return;
        if (&extra == &source) {
            source.Consume(static_cast<std::size_t>(position) + cursor);
        } else {
            ReplaceContent(extra, data + cursor, remaining);
        }
        extra.SetPosition(0);
    };
    try {
        for (;;) {
            if (remaining <= 5) {
                result = decrypted ? TnbTlsState::tsPartialRecord : TnbTlsState::tsIncompleteRecord;
                break;
            }
            const SECURITY_STATUS status =
                GetFunctionTable().DecryptMessage(Context, data + cursor, remaining, buffers);
            LastStatus = status;
            result = MapStatus(status, status);
            if (result == TnbTlsState::tsIncompleteRecord) {
                if (decrypted)
                    result = TnbTlsState::tsPartialRecord;
                break;
            }
            decrypted = true;
            cursor += buffers.Consumed;
            remaining -= buffers.Consumed;
            if (result == TnbTlsState::tsClosed || remaining == 0)
                break;
        }
    } catch (...) {
        finish(false);
        throw;
    }
    finish(result == TnbTlsState::tsPartialRecord || result == TnbTlsState::tsClosed);
    return result;
}

TnbConnectionInfo TnbTlsSspi::ConnectionInfo() {
    TnbConnectionInfo info;
    const SECURITY_STATUS status =
        GetFunctionTable().QueryContextAttributes(Context, SECPKG_ATTR_CONNECTION_INFO, &info);
    LastStatus = status;
    MapStatus(status, nbSspiErrQueryPackage);
    return info;
}

// ---- TnbTlsServerSspi ----

TnbTlsState TnbTlsServerSspi::HandshakeStep(TnbMemoryStream& tokenStream,
                                            const TnbCertificateList& certificates, bool force) {
    TnbCredentialRecord record = BuildRecord(true);
    if (FirstStep && !AcquireCredentials(certificates, force, SECPKG_CRED_INBOUND, record))
        return TnbTlsState::tsNeedCertificate;
    LastStatus = SEC_I_CONTINUE_NEEDED;
    TakePendingInput(tokenStream);
    TnbHandshakeBuffers buffers;
    buffers.Input = reinterpret_cast<const std::uint8_t*>(tokenStream.Memory());
    buffers.InputSize = static_cast<std::size_t>(tokenStream.GetSize());
    const std::uint32_t flags =
        ASC_REQ_SERVER_FLAGS | (RequireClientCertificate ? ASC_REQ_MUTUAL_AUTH : 0);
    const SECURITY_STATUS status =
        GetFunctionTable().AcceptSecurityContext(Credentials, Context, flags, buffers);
    LastStatus = status;
    if (Context)
        FirstStep = false;
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        // The records used stay with the provider; the incomplete rest waits for more bytes.
        tokenStream.Consume(buffers.Consumed);
        tokenStream.SetPosition(0);
        return TnbTlsState::tsIncompleteToken;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
        FailStep(tokenStream, buffers, status);
    const bool done = status == SEC_E_OK;
    FinishStep(tokenStream, buffers, done);
    if (!done)
        return TnbTlsState::tsSendToken;
    if (RequireClientCertificate) {
        // FIX: a client certificate is required and its chain verified; the verdict and its
        // status go to the stream's peer check instead of passing every client.
        std::shared_ptr<TnbCertContext> peer;
        const SECURITY_STATUS query = GetFunctionTable().QueryContextAttributes(
            Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
        LastStatus = query;
        MapStatus(query, query);
        PeerCertificate = TnbCertificate::CreateFromContext(peer);
        LastStatus = GetFunctionTable().PeerVerifyStatus(Context);
        PeerVerified = LastStatus == 0;
    } else {
        PeerVerified = true;
    }
    return HandshakeExtra().empty() ? TnbTlsState::tsDone : TnbTlsState::tsDoneWithData;
}

TnbTlsState TnbTlsServerSspi::Shutdown(TnbMemoryStream& tokenStream) {
    FirstStep = true;
    return ShutdownContext(tokenStream, true);
}

// ---- TnbTlsClientSspi ----

TnbTlsClientSspi::TnbTlsClientSspi(TnbProviderLoader loader)
    : TnbTlsSspi(std::move(loader)), TargetName(CurrentTimeAsDayCount()) {}

TnbTlsState TnbTlsClientSspi::HandshakeStep(TnbMemoryStream& tokenStream,
                                            const TnbCertificateList& certificates, bool force) {
    TnbCredentialRecord record = BuildRecord(false);
    if (LastStatus == SEC_I_INCOMPLETE_CREDENTIALS &&
        !AcquireCredentials(certificates, force, SECPKG_CRED_OUTBOUND, record)) {
        return TnbTlsState::tsNeedCertificate;
    }
    TnbHandshakeBuffers buffers;
    if (FirstStep) {
        FirstStep = false;
        const TnbCertificateList none(false);
        AcquireCredentials(none, true, SECPKG_CRED_OUTBOUND, record);
        LastStatus = SEC_I_CONTINUE_NEEDED;
        const SECURITY_STATUS status = GetFunctionTable().InitializeSecurityContext(
            Credentials, Context, TargetName, ISC_REQ_CLIENT_FLAGS, buffers);
        LastStatus = status;
        if (status != SEC_I_CONTINUE_NEEDED)
            FailStep(tokenStream, buffers, status);
        ReplaceContent(tokenStream, buffers.Output.data(), buffers.Output.size());
        return TnbTlsState::tsSendToken;
    }
    TakePendingInput(tokenStream);
    for (;;) {
        buffers.Input = reinterpret_cast<const std::uint8_t*>(tokenStream.Memory());
        buffers.InputSize = static_cast<std::size_t>(tokenStream.GetSize());
        const SECURITY_STATUS status = GetFunctionTable().InitializeSecurityContext(
            Credentials, Context, TargetName, ISC_REQ_CLIENT_FLAGS, buffers);
        LastStatus = status;
        if (status == SEC_E_INCOMPLETE_MESSAGE || status == SEC_I_INCOMPLETE_CREDENTIALS) {
            tokenStream.Consume(buffers.Consumed);
            tokenStream.SetPosition(0);
            if (status == SEC_E_INCOMPLETE_MESSAGE)
                return TnbTlsState::tsIncompleteToken;
            // The server asks for a certificate: with none in the list (and no force) the
            // caller is asked for one.
            if (!AcquireCredentials(certificates, force, SECPKG_CRED_OUTBOUND, record)) {
                LastStatus = SEC_I_INCOMPLETE_CREDENTIALS;
                return TnbTlsState::tsNeedCertificate;
            }
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
            FailStep(tokenStream, buffers, status);
        const bool done = status == SEC_E_OK;
        FinishStep(tokenStream, buffers, done);
        if (!done)
            return TnbTlsState::tsSendToken;
        if (!PeerVerified)
            PeerVerified = VerifyServer();
        return HandshakeExtra().empty() ? TnbTlsState::tsDone : TnbTlsState::tsDoneWithData;
    }
}

bool TnbTlsClientSspi::VerifyServer() {
    FreePeerCertificate();
    std::shared_ptr<TnbCertContext> peer;
    const SECURITY_STATUS status =
        GetFunctionTable().QueryContextAttributes(Context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
    LastStatus = status;
    MapStatus(status, nbSspiErrServerCredentials);
    PeerCertificate = TnbCertificate::CreateFromContext(peer);
    const std::int32_t policy = GetFunctionTable().PeerVerifyStatus(Context);
    if (policy != 0) {
        LastStatus = policy;
        return false;
    }
    return true;
}

TnbTlsState TnbTlsClientSspi::Shutdown(TnbMemoryStream& tokenStream) {
    FirstStep = true;
    return ShutdownContext(tokenStream, false);
}

}  // namespace nb
