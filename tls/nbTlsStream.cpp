#include "tls/nbTlsStream.h"

#include <algorithm>
#include <climits>

#include "net/nbConnection.h"
#include "net/nbSocketUtils.h"
#include "util/nbLimits.h"

namespace nb {

namespace {

using S = TnbTlsState;

// One send call moves at most this much of the pending records.
constexpr std::int64_t kMaxSendCall = 1 << 20;

bool IsTokenState(S state) {
    return state == S::tsSendToken || state == S::tsSendClose;
}

}  // namespace

TnbTlsNetworkStream::TnbTlsNetworkStream(TnbProviderLoader loader)
    : TargetName(CurrentTimeAsDayCount()), loader_(std::move(loader)) {}

TnbTlsNetworkStream::~TnbTlsNetworkStream() {
    FreeTls();
}

// ---- Settings ----

void TnbTlsNetworkStream::SetTLSFlags(TnbTlsFlags value) {
    tlsFlags_ = value;
    if (TnbTlsSspi* tls = GetTls())
        tls->TLSFlags = value;
}

void TnbTlsNetworkStream::SetUseSystemTLSFlags(bool value) {
    useSystemTlsFlags_ = value;
    if (TnbTlsSspi* tls = GetTls())
        tls->UseSystemTLSFlags = value;
}

void TnbTlsNetworkStream::SetSendRootCertificate(bool value) {
    sendRootCertificate_ = value;
    if (TnbTlsSspi* tls = GetTls())
        tls->SendRootCertificate = value;
}

void TnbTlsNetworkStream::SetUseStrongCryptoAlgorithms(bool value) {
    useStrongCrypto_ = value;
    if (TnbTlsSspi* tls = GetTls())
        tls->UseStrongCryptoAlgorithms = value;
}

void TnbTlsNetworkStream::SetSecurityPackage(const std::string& value) {
    securityPackage_ = value;
    if (TnbTlsSspi* tls = GetTls())
        tls->SetSecurityPackage(value);
}

void TnbTlsNetworkStream::SetRequireClientCertificate(bool value) {
    requireClientCertificate_ = value;
    if (auto* server = dynamic_cast<TnbTlsServerSspi*>(GetTls()))
        server->RequireClientCertificate = value;
}

TnbTlsSspi* TnbTlsNetworkStream::GetTls() {
    std::lock_guard lock(tlsLock_);
    return tls_.get();
}

void TnbTlsNetworkStream::FreeTls() {
    std::lock_guard lock(tlsLock_);
    tls_.reset();
    verified_ = false;
}

// ---- Sessions ----

void TnbTlsNetworkStream::StartSession(std::unique_ptr<TnbTlsSspi> engine) {
    engine->VerifyIgnoreFlags = VerifyIgnoreFlags;
    engine->CertChainFlags = CertChainFlags;
    engine->UrlRetrievalTimeout = UrlRetrievalTimeout;
    engine->TLSFlags = tlsFlags_;
    engine->UseSystemTLSFlags = useSystemTlsFlags_;
    engine->SendRootCertificate = sendRootCertificate_;
    engine->UseStrongCryptoAlgorithms = useStrongCrypto_;
    engine->SetSecurityPackage(securityPackage_);
    engine->SessionScope = SessionScope;
    engine->NoSessionTickets = NoSessionTickets;
    closeNotifyReceived_ = false;
    handshakeComplete_ = false;
    std::lock_guard lock(tlsLock_);
    FreeTls();
    tls_ = std::move(engine);
    tlsBuffer_.Clear();
    outgoingData_.Clear();
    receivedData_.Clear();
    readAhead_.Clear();
    readAheadSource_ = nullptr;
    recordOverhead_ = 0;
}

void TnbTlsNetworkStream::BeforeAccept() {
    if (!StartOnRequest)
        StartServer();
}

bool TnbTlsNetworkStream::Resumed() {
    TnbTlsSspi* tls = GetTls();
    return tls && handshakeComplete_ && tls->ConnectionInfo().Resumed;
}

void TnbTlsNetworkStream::StartServer() {
    auto engine = std::make_unique<TnbTlsServerSspi>(loader_);
    engine->RequireClientCertificate = requireClientCertificate_;
    StartSession(std::move(engine));
    state_ = S::tsWaitToken;
    handshakePending_ = false;
    SetNextAction(TnbNextAction::naRead);
}

void TnbTlsNetworkStream::BeforeConnect() {
    if (StartOnRequest)
        return;
    auto engine = std::make_unique<TnbTlsClientSspi>(loader_);
    engine->TargetName = TargetName;
    StartSession(std::move(engine));
    state_ = S::tsWaitToken;
    // The first write pass makes the client's first token.
    handshakePending_ = true;
    SetNextAction(TnbNextAction::naWrite);
}

void TnbTlsNetworkStream::Assign(const TnbNetworkStream& source) {
    TnbNetworkStream::Assign(source);
    const auto* tls = dynamic_cast<const TnbTlsNetworkStream*>(&source);
    if (!tls)
        return;
    TargetName = tls->TargetName;
    VerifyIgnoreFlags = tls->VerifyIgnoreFlags;
    CertChainFlags = tls->CertChainFlags;
    UrlRetrievalTimeout = tls->UrlRetrievalTimeout;
    tlsFlags_ = tls->tlsFlags_;
    useSystemTlsFlags_ = tls->useSystemTlsFlags_;
    sendRootCertificate_ = tls->sendRootCertificate_;
    useStrongCrypto_ = tls->useStrongCrypto_;
    requireClientCertificate_ = tls->requireClientCertificate_;
    securityPackage_ = tls->securityPackage_;
}

// ---- Receiving ----

bool TnbTlsNetworkStream::Read(TnbStream* destination) {
    ClearNextAction();
    const std::int64_t start = destination ? destination->GetPosition() : 0;
    // Progress and read limits count application bytes, also when an error leaves.
    struct TReport {
        TnbTlsNetworkStream& Stream;
        TnbStream* Destination;
        std::int64_t Start;
        ~TReport() {
            if (Destination)
                Stream.TnbNetworkStream::AddBytesProceed(Destination->GetSize() - Start);
        }
    } report{*this, destination, start};

    if (receivedData_.GetSize() > 0 && destination) {
        destination->Write(receivedData_.Memory(), receivedData_.GetSize());
        receivedData_.Clear();
    } else {
        // The bytes go straight into tlsBuffer_: behind an incomplete message or record, or in
        // place of what was processed. In any other state (the peer closed) they are dropped.
        const bool append = state_ == S::tsIncompleteToken || state_ == S::tsIncompleteRecord;
        const bool replace = state_ == S::tsDone || state_ == S::tsWaitToken;
        if (replace)
            tlsBuffer_.Clear();
        const std::int64_t before = tlsBuffer_.GetSize();
        tlsBuffer_.Seek(0, TnbSeekOrigin::soEnd);
        // The pass ends after kMaxTlsReadPass bytes, also when more wait in the socket.
        struct TPass {
            std::int64_t& End;
            ~TPass() { End = -1; }
        } pass{readPassEnd_};
        readPassEnd_ = before + kMaxTlsReadPass;
        TnbNetworkStream::Read(&tlsBuffer_);
        tlsBuffer_.SetPosition(0);
        if (tlsBuffer_.GetSize() > before) {
            if (append || replace)
                ProcessReceived(destination ? destination : &receivedData_);
            else
                tlsBuffer_.SetSize(before);
        }
    }
    SetHasReadData(receivedData_.GetSize() > 0);
    switch (state_) {
        case S::tsRenegotiate:
            SetNextAction(TnbNextAction::naWrite);
            break;
        case S::tsDone:
        case S::tsClosed:
            break;
        default:
            // Unprotected bytes the caller has not taken come first: a pass the stream asked for
            // (the handshake's) must not go on reading the application's bytes behind them.
            if (receivedData_.GetSize() == 0)
                SetNextAction(TnbNextAction::naRead);
            break;
    }
    return true;
}

void TnbTlsNetworkStream::ProcessReceived(TnbStream* destination) {
    if (state_ == S::tsWaitToken || state_ == S::tsIncompleteToken) {
        ContinueHandshake(destination);
        return;
    }
    DecryptBuffer(destination);
}

void TnbTlsNetworkStream::DecryptBuffer(TnbStream* destination) {
    TnbTlsSspi* tls = GetTls();
    if (!tls)
        RaiseSspiCode(SEC_E_INVALID_HANDLE);
    state_ = tls->Decrypt(tlsBuffer_, destination, tlsBuffer_);
    switch (state_) {
        case S::tsDone:
            tlsBuffer_.Clear();
            break;
        case S::tsRenegotiate:
            tlsBuffer_.Clear();
            handshakePending_ = true;
            break;
        case S::tsPartialRecord:
            state_ = S::tsIncompleteRecord;  // the incomplete record is at the buffer's start
            break;
        case S::tsClosed:
            closeNotifyReceived_ = true;
            SetNeedClose(true);
            break;
        default:
            break;
    }
}

// ---- The handshake ----

TnbTlsState TnbTlsNetworkStream::Step(TnbCertificateList& certificates, bool force) {
    TnbTlsSspi* tls = GetTls();
    if (!tls)
        RaiseSspiCode(SEC_E_INVALID_HANDLE);
    try {
        return tls->HandshakeStep(tlsBuffer_, certificates, force);
    } catch (const EnbSSPIError&) {
        // FIX: a failed handshake tells the peer why (its alert is in tlsBuffer_) before the
        // error ends the connection, instead of leaving the peer waiting for its time-out.
        if (tlsBuffer_.GetSize() > 0) {
            state_ = S::tsSendToken;
            try {
                SendPending(nullptr, 0);
            } catch (const EnbSocketError&) {
            }
        }
        throw;
    }
}

void TnbTlsNetworkStream::ContinueHandshake(TnbStream* destination) {
    TnbCertificateList certificates(false);
    recordOverhead_ = 0;
    bool finished = false;
    try {
        state_ = Step(certificates, false);
        if (state_ == S::tsNeedCertificate) {
            std::shared_ptr<TnbCertificate> certificate;
            bool handled = false;
            if (OnGetCertificate)
                OnGetCertificate(*this, certificate, certificates, handled);
            if (certificate)
                certificates.Add(certificate);
            // FIX: a server without a certificate cannot shake hands at all; that is said at
            // once instead of as the provider's later, vaguer refusal. (A client may go on
            // without one: the server decides.)
            if (certificates.Count() == 0 && dynamic_cast<TnbTlsServerSspi*>(GetTls())) {
                state_ = S::tsDone;
                throw EnbSocketError(GetSspiErrorText(nbSspiErrLocalCertificate).first,
                                     nbSspiErrLocalCertificate);
            }
            state_ = Step(certificates, true);
        }
        if (state_ == S::tsNeedCertificate) {
            throw EnbSocketError(GetSspiErrorText(nbSspiErrLocalCertificate).first,
                                 nbSspiErrLocalCertificate);
        }
        if (state_ == S::tsDone || state_ == S::tsDoneWithData)
            VerifyPeer();
        if (state_ == S::tsSendToken) {
            if (!SendPending(nullptr, 0))
                SetNextAction(TnbNextAction::naWrite);
            state_ = S::tsWaitToken;
        } else if (state_ == S::tsDone || state_ == S::tsDoneWithData) {
            finished = true;
            // The last handshake message of this side, if any.
            state_ = S::tsSendToken;
            if (!SendPending(nullptr, 0))
                SetNextAction(TnbNextAction::naWrite);
            state_ = S::tsDone;
            // FIX: application bytes that came with the peer's last handshake message are
            // unprotected now, before the connection is told it is ready; none is lost.
            const std::string& extra = GetTls()->HandshakeExtra();
            if (!extra.empty()) {
                tlsBuffer_.Clear();
                tlsBuffer_.WriteString(extra);
                tlsBuffer_.SetPosition(0);
                DecryptBuffer(destination ? destination : &receivedData_);
                if (state_ != S::tsIncompleteRecord && state_ != S::tsClosed)
                    state_ = S::tsDone;
            }
        }
    } catch (...) {
        tlsBuffer_.Clear();
        throw;
    }
    if (state_ != S::tsDone && state_ != S::tsSendToken && state_ != S::tsIncompleteToken &&
        state_ != S::tsIncompleteRecord && state_ != S::tsWaitToken) {
        tlsBuffer_.Clear();
    }
    // FIX: the handshake is complete also when the application bytes behind it end in an
    // incomplete record (a fast client's first records); that record waits for more bytes.
    if (finished) {
        handshakeComplete_ = true;
        TnbNetworkStream::DoReady();
    }
}

void TnbTlsNetworkStream::VerifyPeer() {
    if (verified_)
        return;
    TnbTlsSspi& tls = *GetTls();
    verified_ = tls.PeerVerified;
    const std::string text = GetSspiErrorText(tls.LastStatus).first;
    if (OnVerifyPeer)
        OnVerifyPeer(*this, tls.PeerCertificate.get(), verified_, tls.LastStatus, text);
    if (!verified_)
        throw EnbSocketError(text, tls.LastStatus);
}

// ---- Sending ----

bool TnbTlsNetworkStream::SendOutgoing() {
    while (outgoingData_.Remaining() > 0) {
        const std::int64_t position = outgoingData_.GetPosition();
        const int size = static_cast<int>(std::min(outgoingData_.Remaining(), kMaxSendCall));
        const int sent = Send(outgoingData_.Memory() + position, size);
        if (sent < 0) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK)
                return false;
            if (error >= WSAENETDOWN && error <= WSAECONNRESET)
                SetNeedClose(true);
            RaiseSocketError(error);
        }
        outgoingData_.SetPosition(position + sent);
    }
    outgoingData_.Clear();
    return true;
}

bool TnbTlsNetworkStream::SendPending(TnbStream* source, std::int64_t count) {
    if (IsTokenState(state_)) {
        // Tokens go out in the order they were made, behind anything still pending.
        if (tlsBuffer_.Remaining() > 0) {
            const std::int64_t position = outgoingData_.GetPosition();
            outgoingData_.Seek(0, TnbSeekOrigin::soEnd);
            outgoingData_.Write(tlsBuffer_.Memory() + tlsBuffer_.GetPosition(),
                                tlsBuffer_.Remaining());
            outgoingData_.SetPosition(position);
        }
        tlsBuffer_.Clear();
    } else if (source && outgoingData_.GetSize() == 0) {
        TnbTlsSspi* tls = GetTls();
        if (!tls)
            RaiseSspiCode(SEC_E_INVALID_HANDLE);
        // The records are made straight into the pending buffer.
        TnbStream& plain = PlainSource(*source, count);
        tls->Encrypt(plain, outgoingData_, count);
        outgoingData_.SetPosition(0);
    }
    return SendOutgoing();
}

TnbStream& TnbTlsNetworkStream::PlainSource(TnbStream& source, std::int64_t& count) {
    if (PlainMemoryStream(&source))
        return source;
    const std::int64_t position = source.GetPosition();
    if (readAheadSource_ != &source || position < readAheadStart_ ||
        position + count > readAheadStart_ + readAheadLength_) {
        // The buffer's size stays at its largest, so a refill does not clear it first.
        const std::int64_t size = std::max(count, kTlsReadAhead);
        if (readAhead_.GetSize() < size)
            readAhead_.SetSize(size);
        readAheadSource_ = nullptr;
        std::int64_t length = 0;
        try {
            while (length < size) {
                const std::int64_t read = source.Read(readAhead_.Memory() + length, size - length);
                if (read <= 0)
                    break;
                length += read;
            }
        } catch (...) {
            source.SetPosition(position);
            throw;
        }
        source.SetPosition(position);
        readAheadSource_ = &source;
        readAheadStart_ = position;
        readAheadLength_ = length;
    }
    const std::int64_t offset = position - readAheadStart_;
    count = std::min(count, readAheadLength_ - offset);  // a file that ended early
    readAhead_.SetPosition(offset);
    return readAhead_;
}

bool TnbTlsNetworkStream::Write(TnbStream* source) {
    ClearNextAction();
    if (handshakePending_) {
        handshakePending_ = false;
        ContinueHandshake(nullptr);
        if (state_ != S::tsDone)
            SetNextAction(TnbNextAction::naRead);
        return true;  // the caller's bytes wait for the passes NextAction asks for
    }
    if (!source) {
        const bool result = SendPending(nullptr, 0);
        if (!result)
            SetNextAction(TnbNextAction::naWrite);
        return result;
    }
    bool result = true;
    // The size once per call: a file source would ask the system for it twice per chunk.
    const std::int64_t size = source->GetSize();
    // A file is protected in chunks of whole records and sent with one call each; replies and
    // listings, and a throttled transfer, keep the batch size.
    const TnbConnection& connection = RequireConnection();
    const std::int64_t chunk = PlainMemoryStream(source) || connection.BitsPerSec() > 0
                                   ? connection.BatchSize()
                                   : std::max<std::int64_t>(connection.BatchSize(), kTlsFileChunk);
    while (result && source->GetPosition() < size) {
        if (outgoingData_.GetSize() > 0) {
            result = SendPending(nullptr, 0);  // the records of the chunk in flight
        } else {
            writeChunk_ = std::min(size - source->GetPosition(), chunk);
            result = SendPending(source, writeChunk_);
        }
        if (result) {
            TnbNetworkStream::AddBytesProceed(writeChunk_);
            source->Seek(writeChunk_, TnbSeekOrigin::soCurrent);
        }
        if (result && NeedStop())
            break;
    }
    // Only a send that would block comes back for the same source; after the end or a stop the
    // source may go, and another stream may take its place (and its address).
    if (result)
        readAheadSource_ = nullptr;
    return result;
}

void TnbTlsNetworkStream::Close(bool notifyPeer) {
    ClearNextAction();
    state_ = S::tsDone;
    tlsBuffer_.Clear();
    if (TnbTlsSspi* tls = GetTls()) {
        try {
            state_ = tls->Shutdown(tlsBuffer_);
        } catch (const EnbSSPIError&) {
        }
        if (notifyPeer && state_ == S::tsSendClose) {
            try {
                // FIX: an aborted transfer does not wait for a peer that stopped reading (it
                // waits for the abort's reply instead): what the socket takes now goes out,
                // the records behind it and the close notification are dropped.
                const TnbConnection* connection = Connection();
                if (!SendPending(nullptr, 0) && !(connection && connection->IsAborted()))
                    SetNextAction(TnbNextAction::naWrite);  // the connection flushes it
            } catch (const EnbSocketError&) {
            }
        }
    }
    tlsBuffer_.Clear();
    handshakePending_ = false;
    state_ = S::tsDone;
}

// ---- Counting ----

int TnbTlsNetworkStream::GetRecordOverhead() {
    if (recordOverhead_ == 0 && state_ == S::tsDone) {
        if (TnbTlsSspi* tls = GetTls()) {
            try {
                const TnbStreamSizes& sizes = tls->GetStreamSizes();
                recordOverhead_ = static_cast<int>(sizes.Header + sizes.Trailer);
            } catch (const EnbSSPIError&) {
            }
        }
    }
    return recordOverhead_;
}

int TnbTlsNetworkStream::GetReadBatchSize() {
    const int inherited = TnbNetworkStream::GetReadBatchSize();
    const int batch = inherited + GetRecordOverhead();
    // A pass whose receives came back full meets a peer that streams: the rest of the pass is
    // asked for in larger receives. A pass that meets a few command lines stays at one batch.
    if (readPassEnd_ < 0 || inherited < RequireConnection().BatchSize())
        return batch;
    const std::int64_t taken = tlsBuffer_.GetSize() - (readPassEnd_ - kMaxTlsReadPass);
    const std::int64_t left = readPassEnd_ - tlsBuffer_.GetSize();
    if (taken < batch || left <= batch)
        return batch;
    return static_cast<int>(std::min(left, kTlsStreamingReceive));
}

int TnbTlsNetworkStream::GetWriteBatchSize() {
    return TnbNetworkStream::GetWriteBatchSize() + GetRecordOverhead();
}

bool TnbTlsNetworkStream::IsReadLimitReached() {
    if (TnbNetworkStream::IsReadLimitReached())
        return true;
    if (readPassEnd_ >= 0 && tlsBuffer_.GetSize() >= readPassEnd_)
        return true;
    const TnbConnection* connection = Connection();
    return connection && connection->BytesToProceed() >= 0 &&
           rawBytes_ >= connection->BytesToProceed();
}

void TnbTlsNetworkStream::ResetBytesProceed() {
    TnbNetworkStream::ResetBytesProceed();
    rawBytes_ = 0;
}

void TnbTlsNetworkStream::AddBytesProceed(std::int64_t count) {
    rawBytes_ += count;
}

}  // namespace nb
