#include "command/nbTcpCommandServer.h"

#include <algorithm>
#include <utility>

#include "net/nbSocketUtils.h"
#include "net/nbWinSock2.h"
#include "util/nbLimits.h"
#include "util/nbTranslator.h"
#include "util/nbUtils.h"

namespace nb {

namespace {

// Telnet command bytes that may appear in a control connection's input.
constexpr unsigned char kIac = 255;
constexpr unsigned char kSe = 240;  // the lowest Telnet command byte
constexpr unsigned char kWill = 251;
constexpr unsigned char kDont = 254;

// WSAENOBUFS: no buffer space.
constexpr int kNoBufferSpace = 10055;

bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

// A reply line never carries a line break taken from its text (a file name, an event's message,
// an exception): each CR or LF becomes a blank.
std::string OneLine(std::string_view text) {
    std::string line(text);
    std::replace_if(line.begin(), line.end(), IsLineBreak, ' ');
    return line;
}

// Removes Telnet sequences: IAC IAC is the data byte 0xFF, IAC WILL/WONT/DO/DONT takes one
// option byte, IAC with another command byte (0xF0-0xFA: IP, DM, NOP...) is a two-byte command.
// Clients send IAC IP and IAC DM in front of ABOR. Any other 0xFF is a data byte and stays: it
// is a letter in single-byte character sets ("я" in Windows-1251).
std::string StripTelnet(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const auto next =
            i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : std::uint8_t{0};
        if (c != kIac || next < kSe) {
            out += bytes[i];
        } else if (next == kIac) {
            out += bytes[i];
            i += 1;
        } else if (next >= kWill && next <= kDont) {
            i += 2;
        } else {
            i += 1;
        }
    }
    return out;
}

}  // namespace

// ---- Reply formatting ----

std::string FormatReplyText(std::string_view format, const std::vector<std::string>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 >= format.size()) {
            out += format[i];
            continue;
        }
        const char kind = format[++i];
        if (kind == '%') {
            out += '%';
        } else if (next < args.size()) {
            out += args[next++];
        }
    }
    return out;
}

// ---- TnbTcpCommandParams ----

void TnbTcpCommandParams::Parse(std::string_view line) {
    Text = std::string(line);
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        Command = UpperCaseAscii(line);
        Params.clear();
    } else {
        Command = UpperCaseAscii(line.substr(0, blank));
        Params = std::string(line.substr(blank + 1));
    }
}

// ---- Command table ----

TnbTcpCustomCommandInfo::TnbTcpCustomCommandInfo(TnbTcpCommandServer& server)
    : TnbTcpCommandInfo("COMMAND", false) {
    SetServer(&server);
}

void TnbTcpCustomCommandInfo::Execute(TnbCommandConnection& AConnection,
                                      TnbTcpCommandParams& AParams) {
    Server()->DoCustomCommand(AConnection, AParams);
}

TnbTcpCommandInfo& TnbTcpCommandList::Add(std::unique_ptr<TnbTcpCommandInfo> info) {
    info->SetServer(&server_);
    items_.push_back(std::move(info));
    return *items_.back();
}

TnbTcpCommandInfo* TnbTcpCommandList::Find(std::string_view command) const {
    for (const auto& item : items_) {
        if (item->Name() == command) {
            return item.get();
        }
    }
    return nullptr;
}

// ---- Input framing ----

std::unique_ptr<TnbProcessDataContext> TnbProcessDataHandler::ParseInput(
    std::int64_t AMaxDataSize) {
    std::int64_t remain = 0;
    auto context = Process(buffer_, remain, AMaxDataSize);
    const std::int64_t size = buffer_.GetSize();
    if (remain <= 0) {
        buffer_.Clear();
    } else if (size > remain) {
        buffer_.Consume(static_cast<std::size_t>(size - remain));
    }
    buffer_.Seek(0, TnbSeekOrigin::soEnd);
    return context;
}

void TnbProcessDataHandler::Dispatch(TnbProcessDataContext& AContext) {
    if (!AContext.HasCommands()) {
        return;
    }
    if (AContext.SizeExceeded()) {
        AContext.SetSizeExceeded(false);
        throw EnbMaxDataSizeError();
    }
    if (dispatch_ && connection_ != nullptr) {
        dispatch_(*connection_, AContext);
    }
}

std::unique_ptr<TnbProcessCommandContext> TnbProcessCommandHandler::CreateContext() {
    return std::make_unique<TnbProcessCommandContext>();
}

std::unique_ptr<TnbProcessDataContext> TnbProcessCommandHandler::Exceeded(bool lineUnfinished,
                                                                          std::int64_t& ARemain) {
    auto context = CreateContext();
    context->SetSizeExceeded(true);
    ARemain = 0;
    scanned_ = 0;
    skipLine_ = lineUnfinished;
    waitingLines_.store(false);
    return context;
}

std::unique_ptr<TnbProcessDataContext> TnbProcessCommandHandler::Process(
    TnbMemoryStream& ABuffer, std::int64_t& ARemain, std::int64_t AMaxDataSize) {
    const std::string_view data = ABuffer.View();
    const std::size_t size = data.size();
    if (scanned_ > size) {
        scanned_ = 0;  // someone else emptied the buffer
    }

    // The last line break; bytes before scanned_ hold none, so they are not looked at again.
    std::size_t last = std::string_view::npos;
    for (std::size_t i = size; i > scanned_; --i) {
        if (IsLineBreak(data[i - 1])) {
            last = i - 1;
            break;
        }
    }
    const bool unfinished = last == std::string_view::npos || last + 1 < size;

    // SECURITY: the host's limit on unprocessed input, complete lines or not.
    if (AMaxDataSize > 0 && static_cast<std::int64_t>(size) > AMaxDataSize) {
        return Exceeded(unfinished, ARemain);
    }

    auto context = CreateContext();
    if (last == std::string_view::npos) {
        waitingLines_.store(false);
        if (skipLine_) {
            ARemain = 0;  // more of an oversized line: dropped as it arrives
            scanned_ = 0;
            return context;
        }
        // SECURITY: a line that never ends must not grow the buffer without bound.
        if (size > kMaxCommandLine) {
            return Exceeded(true, ARemain);
        }
        scanned_ = size;
        ARemain = static_cast<std::int64_t>(size);
        return context;
    }

    const std::string charSet = Server().GetRequestCharSet(*Connection());
    std::size_t start = 0;
    std::size_t i = scanned_;
    std::size_t commands = 0;
    std::size_t cost = 0;
    while (i <= last) {
        if (!IsLineBreak(data[i])) {
            ++i;
            continue;
        }
        const std::string_view line = data.substr(start, i - start);
        if (skipLine_) {
            skipLine_ = false;  // the tail of an oversized line
        } else if (line.size() > kMaxCommandLine) {
            // SECURITY: an oversized complete line discards the whole read, as MaxDataSize does.
            return Exceeded(unfinished, ARemain);
        } else if (!line.empty() &&
                   (commands >= budgetCommands_ || (commands > 0 && cost >= budgetCost_))) {
            // SECURITY: no room for more commands: the rest waits here, unparsed.
            waitingLines_.store(true);
            scanned_ = 0;
            ARemain = static_cast<std::int64_t>(size - start);
            return context;
        } else if (const std::size_t added = AddLine(*context, line, charSet)) {
            ++commands;
            cost += added;
        }
        start = ++i;
    }
    waitingLines_.store(false);

    const std::size_t tail = size - (last + 1);
    if (tail > kMaxCommandLine) {
        return Exceeded(true, ARemain);
    }
    scanned_ = tail;
    ARemain = static_cast<std::int64_t>(tail);
    return context;
}

std::size_t TnbProcessCommandHandler::AddLine(TnbProcessCommandContext& context,
                                              std::string_view bytes, const std::string& charSet) {
    std::string clean = StripTelnet(bytes);
    // A NUL would end the decoded text early and lose the rest of the line.
    std::replace(clean.begin(), clean.end(), '\0', ' ');
    const std::string text = TnbTranslator::GetString(clean, charSet);
    const std::string_view line = Trim(text);
    if (line.empty()) {
        return 0;
    }
    auto params = createParams_(*Connection());
    params->Parse(line);
    const std::size_t cost = QueuedCost(*params);
    context.Add(std::move(params));
    return cost;
}

// ---- TnbCommandConnection ----

TnbCommandConnection::TnbCommandConnection() = default;

bool TnbCommandConnection::HoldsInput() {
    std::lock_guard lock(ConnectionLock());
    // A parse whose commands are not queued yet: a read now would parse later lines, which
    // could reach the queue first.
    if (TnbUserConnectionTls::HoldsInput() || RepliesWaiting() || unqueued_.load() > 0) {
        return true;
    }
    const auto* handler = dynamic_cast<const TnbProcessCommandHandler*>(dataHandler_.get());
    if (handler != nullptr && handler->HasWaitingLines()) {
        return true;
    }
    std::lock_guard queue(queueLock_);
    return queue_.size() >= kMaxQueuedCommands || queuedCost_ >= kMaxQueuedCommandBytes;
}

void TnbCommandConnection::DropCommands() {
    std::lock_guard lock(queueLock_);
    queue_.clear();
    queuedCost_ = 0;
    draining_ = false;
    suspended_ = false;
    asideHoldsDrain_ = false;
}

void TnbCommandConnection::SetDataHandler(std::unique_ptr<TnbProcessDataHandler> handler) {
    if (handler) {
        handler->SetConnection(this);
    }
    dataHandler_ = std::move(handler);
}

// ---- TnbTcpCommandServer ----

TnbTcpCommandServer::TnbTcpCommandServer() : commandList_(*this) {}

TnbTcpCommandServer::~TnbTcpCommandServer() {
    StopOnDestroy();
}

std::string TnbTcpCommandServer::CharSet() const {
    std::lock_guard lock(charSetLock_);
    return charSet_;
}

void TnbTcpCommandServer::SetCharSet(std::string value) {
    std::lock_guard lock(charSetLock_);
    charSet_ = std::move(value);
}

void TnbTcpCommandServer::EnsureCommandsRegistered() {
    std::call_once(commandsRegistered_, [this] { RegisterCommands(); });
}

std::unique_ptr<TnbTcpCommandInfo> TnbTcpCommandServer::CreateCustomCommandInfo(
    const TnbTcpCommandParams&) {
    return std::make_unique<TnbTcpCustomCommandInfo>(*this);
}

void TnbTcpCommandServer::DoCommandError(TnbCommandConnection&, const TnbTcpCommandParams&,
                                         const std::exception&) {}

void TnbTcpCommandServer::DoMaxDataSizeError(TnbCommandConnection&, bool&) {}

std::string TnbTcpCommandServer::GetResponseCharSet(TnbCommandConnection&) {
    return CharSet();
}

std::string TnbTcpCommandServer::GetRequestCharSet(TnbCommandConnection&) {
    return CharSet();
}

void TnbTcpCommandServer::DoReceiveCommand(TnbCommandConnection& AConnection,
                                           TnbTcpCommandParams& AParams) {
    if (OnReceiveCommand) {
        OnReceiveCommand(*this, AConnection, AParams);
    }
}

void TnbTcpCommandServer::DoSendResponse(TnbCommandConnection& AConnection,
                                         const std::string& ACommand,
                                         const std::string& AResponse) {
    if (OnSendResponse) {
        OnSendResponse(*this, AConnection, ACommand, AResponse);
    }
}

void TnbTcpCommandServer::DoCreateCommandParams(TnbCommandConnection& AConnection,
                                                std::unique_ptr<TnbTcpCommandParams>& AParams) {
    if (OnCreateCommandParams) {
        OnCreateCommandParams(*this, AConnection, AParams);
    }
}

void TnbTcpCommandServer::DoCustomCommand(TnbCommandConnection& AConnection,
                                          TnbTcpCommandParams& AParams) {
    if (OnCustomCommand) {
        OnCustomCommand(*this, AConnection, AParams);
    }
}

void TnbTcpCommandServer::DoSendMultipleLines(TnbCommandConnection& AConnection) {
    if (OnSendMultipleLines) {
        OnSendMultipleLines(*this, AConnection);
    }
}

std::unique_ptr<TnbTcpCommandParams> TnbTcpCommandServer::CreateCommandParams(
    TnbCommandConnection& AConnection) {
    std::unique_ptr<TnbTcpCommandParams> params;
    DoCreateCommandParams(AConnection, params);
    if (!params) {
        params = std::make_unique<TnbTcpCommandParams>();
    }
    return params;
}

void TnbTcpCommandServer::InstallCommandHandler(TnbCommandConnection& AConnection) {
    auto handler = std::make_unique<TnbProcessCommandHandler>(
        *this,
        [this](TnbCommandConnection& connection, TnbProcessDataContext& context) {
            ProcessCommands(connection, context);
        },
        [this](TnbCommandConnection& connection) { return CreateCommandParams(connection); });
    std::lock_guard lock(AConnection.ConnectionLock());
    AConnection.SetDataHandler(std::move(handler));
}

InbUserConnection TnbTcpCommandServer::CreateConnection() {
    EnsureCommandsRegistered();
    InbUserConnection connection = TnbTcpServerTls::CreateConnection();
    // A connection the host supplied without the command layer is served as plain TCP.
    if (auto* command = dynamic_cast<TnbCommandConnection*>(connection.get())) {
        InstallCommandHandler(*command);
    }
    return connection;
}

InbUserConnection TnbTcpCommandServer::CreateDefaultConnection() {
    return std::make_shared<TnbCommandConnection>();
}

void TnbTcpCommandServer::ReadConnection(TnbUserConnection& AConnection) {
    auto* connection = dynamic_cast<TnbCommandConnection*>(&AConnection);
    if (connection == nullptr || connection->DataHandler() == nullptr) {
        TnbTcpServerTls::ReadConnection(AConnection);
        return;
    }
    TnbProcessDataHandler& handler = *connection->DataHandler();
    std::unique_ptr<TnbProcessDataContext> context;
    {
        std::lock_guard lock(connection->ConnectionLock());
        // SECURITY: plain bytes that came before the switch (a partial line behind AUTH) never
        // mix with what the TLS stream decrypts.
        if (BeginPendingTls(*connection))
            handler.Buffer().Clear();
        // SECURITY: one pass reads no more than the buffer has room for: the buffer never
        // holds more than one longest line with its end (an unfinished line or unparsed ones).
        const std::int64_t buffered = handler.Buffer().GetSize();
        const std::int64_t room =
            std::clamp<std::int64_t>(kMaxInputBuffer - buffered, 1, kCommandReadPass);
        const std::int64_t savedLimit = connection->BytesToProceed();
        connection->SetBytesToProceed(connection->GetNetworkStream().BytesProceed() + room);
        bool grew = false;
        try {
            grew = ReadConnectionData(*connection, handler.Buffer());
        } catch (...) {
            connection->SetBytesToProceed(savedLimit);
            throw;
        }
        connection->SetBytesToProceed(savedLimit);
        if (!grew) {
            return;
        }
        DoReadConnection(*connection, handler.Buffer());
        SetParseBudget(*connection, handler);
        context = handler.ParseInput(MaxDataSize());
        ++connection->unqueued_;
    }
    // Commands run without the connection lock, so input keeps being read meanwhile.
    DispatchInput(*connection, *context);
}

void TnbTcpCommandServer::DispatchInput(TnbCommandConnection& AConnection,
                                        TnbProcessDataContext& AContext) {
    // ProcessCommands marks the parse as queued before it runs anything; a parse that fails
    // before it gets there is marked here.
    const auto queued = [&] {
        if (AConnection.unqueued_.load() > 0) {
            --AConnection.unqueued_;
        }
        AConnection.ResumeInput();
    };
    try {
        AConnection.DataHandler()->Dispatch(AContext);
    } catch (const EnbMaxDataSizeError&) {
        queued();
        bool handled = false;
        DoMaxDataSizeError(AConnection, handled);
        if (!handled) {
            CloseConnection(AConnection);
            throw;
        }
    }
    const auto* commands = dynamic_cast<const TnbProcessCommandHandler*>(AConnection.DataHandler());
    if (commands != nullptr && commands->HasWaitingLines()) {
        DrainCommands(AConnection);  // the drain may have passed them while this parse queued
    }
}

void TnbTcpCommandServer::SetParseBudget(TnbCommandConnection& AConnection,
                                         TnbProcessDataHandler& AHandler) {
    auto* commands = dynamic_cast<TnbProcessCommandHandler*>(&AHandler);
    if (commands == nullptr) {
        return;
    }
    if (OutputBacklogged(AConnection)) {
        commands->SetBudget(0, 0);
        return;
    }
    std::lock_guard lock(AConnection.queueLock_);
    const std::size_t count = AConnection.queue_.size();
    const std::size_t cost = AConnection.queuedCost_;
    commands->SetBudget(count < kMaxQueuedCommands ? kMaxQueuedCommands - count : 0,
                        cost < kMaxQueuedCommandBytes ? kMaxQueuedCommandBytes - cost : 0);
}

bool TnbTcpCommandServer::OutputBacklogged(TnbCommandConnection& AConnection) {
    std::lock_guard lock(AConnection.ConnectionLock());
    if (!AConnection.Active()) {
        return false;  // nobody reads: the drain only drops what waits
    }
    return AConnection.PendingOutputSize() > kPendingOutputReadHold ||
           AConnection.RepliesWaiting();
}

bool TnbTcpCommandServer::TakeWaitingLines(TnbCommandConnection& AConnection) {
    std::unique_ptr<TnbProcessDataContext> context;
    {
        std::lock_guard lock(AConnection.ConnectionLock());
        auto* handler = dynamic_cast<TnbProcessCommandHandler*>(AConnection.DataHandler());
        if (handler == nullptr || !handler->HasWaitingLines() || AConnection.unqueued_.load() > 0) {
            return false;
        }
        SetParseBudget(AConnection, *handler);
        context = handler->ParseInput(MaxDataSize());
        ++AConnection.unqueued_;
    }
    DispatchInput(AConnection, *context);
    // The buffer has room again: reads resume unless something else still holds them.
    AConnection.ResumeInput();
    return true;
}

void TnbTcpCommandServer::WriteConnection(TnbUserConnection& AConnection) {
    TnbTcpServerTls::WriteConnection(AConnection);
    if (auto* connection = dynamic_cast<TnbCommandConnection*>(&AConnection)) {
        DrainCommands(*connection);
    }
}

void TnbTcpCommandServer::ProcessCommands(TnbCommandConnection& AConnection,
                                          TnbProcessDataContext& AContext) {
    auto* commands = dynamic_cast<TnbProcessCommandContext*>(&AContext);
    if (commands == nullptr) {
        return;
    }
    EnsureCommandsRegistered();
    // SECURITY: commands that came in clear behind a granted AUTH are injected, not the
    // client's: they never run, before or after the switch.
    if (AConnection.StartTlsPending())
        return;
    for (auto& params : commands->TakeAll()) {
        TnbTcpCommandInfo* info = commandList_.Find(params->Command);
        bool runNow = false;
        {
            std::lock_guard lock(AConnection.queueLock_);
            // A lock-free command must reach the command that runs now (ABOR stops a transfer):
            // at once while it waits on its peer, or while nothing else is queued before it.
            // Behind commands not yet started, or beside one that will wait on its peer but has
            // not reached that wait, it waits in the queue until the one ahead enters its
            // blocking section, or takes its turn; with nothing running it takes its turn.
            runNow = info != nullptr && info->NoLock() && AConnection.draining_ &&
                     (AConnection.blocking_ ||
                      (!AConnection.suspended_ && AConnection.queue_.empty() &&
                       !AConnection.runningWaitsOnPeer_));
            if (!runNow) {
                // The parse took no more than the queue has room for (SetParseBudget); the
                // queue's bounds hold the reads, not a close.
                AConnection.queuedCost_ += TnbProcessCommandHandler::QueuedCost(*params);
                AConnection.queue_.push_back({std::move(params), info});
            }
        }
        if (runNow) {
            ExecuteCommand(AConnection, *info, *params);
        }
    }
    // The parse's commands are in the queue: reads held for their order may go on.
    if (AConnection.unqueued_.load() > 0) {
        --AConnection.unqueued_;
    }
    AConnection.ResumeInput();
    DrainCommands(AConnection);
}

void TnbTcpCommandServer::DrainCommands(TnbCommandConnection& AConnection, bool AOwned) {
    const auto* handler = dynamic_cast<const TnbProcessCommandHandler*>(AConnection.DataHandler());
    const auto linesWait = [&] { return handler != nullptr && handler->HasWaitingLines(); };
    if (!AOwned) {
        std::lock_guard lock(AConnection.queueLock_);
        if (AConnection.draining_ || (AConnection.queue_.empty() && !linesWait())) {
            return;  // the worker that drains will run them
        }
        AConnection.draining_ = true;
    }
    for (;;) {
        // SECURITY: while the client does not take its replies, no further command runs.
        if (OutputBacklogged(AConnection)) {
            {
                std::lock_guard lock(AConnection.queueLock_);
                if (AConnection.suspended_) {
                    return;  // the command's deferred end drains what waits, and looks again
                }
                AConnection.draining_ = false;
            }
            // The write item that drains the output resumes the drain; if it came in between,
            // this worker goes on.
            if (OutputBacklogged(AConnection)) {
                return;
            }
            std::lock_guard lock(AConnection.queueLock_);
            if (AConnection.draining_ || (AConnection.queue_.empty() && !linesWait())) {
                return;
            }
            AConnection.draining_ = true;
            continue;
        }
        TnbCommandConnection::TQueuedCommand item;
        const bool active = AConnection.Active();
        bool takeLines = false;
        {
            std::lock_guard lock(AConnection.queueLock_);
            takeLines = AConnection.queue_.empty() && !AConnection.suspended_;
        }
        if (takeLines && active) {
            try {
                if (TakeWaitingLines(AConnection)) {
                    continue;
                }
            } catch (...) {
                AConnection.DropCommands();
                throw;
            }
        }
        {
            std::lock_guard lock(AConnection.queueLock_);
            if (!active) {
                AConnection.queue_.clear();  // nobody is there to answer
                AConnection.queuedCost_ = 0;
            }
            if (AConnection.suspended_) {
                return;  // the command's deferred end drains what waits
            }
            if (AConnection.queue_.empty()) {
                AConnection.draining_ = false;
                return;
            }
            if (AConnection.aside_ > 0) {
                AConnection.asideHoldsDrain_ = true;
                return;  // lock-free commands read before these still run aside
            }
            item = std::move(AConnection.queue_.front());
            AConnection.queue_.pop_front();
            AConnection.queuedCost_ -= TnbProcessCommandHandler::QueuedCost(*item.params);
            AConnection.runningWaitsOnPeer_ = item.info != nullptr && item.info->WaitsOnPeer();
        }
        const auto ran = [&AConnection] {
            std::lock_guard lock(AConnection.queueLock_);
            AConnection.runningWaitsOnPeer_ = false;
        };
        try {
            RunQueued(AConnection, item);
        } catch (...) {
            ran();
            AConnection.DropCommands();
            throw;
        }
        ran();
        if (AConnection.StartTlsPending()) {
            std::lock_guard lock(AConnection.queueLock_);
            AConnection.queue_.clear();  // read in clear behind the AUTH: injected
        }
    }
}

void TnbTcpCommandServer::RunQueued(TnbCommandConnection& AConnection,
                                    TnbCommandConnection::TQueuedCommand& item) {
    if (item.info != nullptr) {
        ExecuteCommand(AConnection, *item.info, *item.params);
        return;
    }
    auto custom = CreateCustomCommandInfo(*item.params);
    ExecuteCommand(AConnection, *custom, *item.params);
}

void TnbTcpCommandServer::ExecuteCommand(TnbCommandConnection& AConnection,
                                         TnbTcpCommandInfo& AInfo, TnbTcpCommandParams& AParams) {
    try {
        if (AInfo.NoLock()) {
            DoReceiveCommand(AConnection, AParams);
            AInfo.Execute(AConnection, AParams);
        } else {
            std::lock_guard lock(AConnection.commandLock_);
            DoReceiveCommand(AConnection, AParams);
            AInfo.Execute(AConnection, AParams);
        }
    } catch (const EnbTcpCommandServerError& E) {
        // The normal refusal: the reply line, and the session goes on.
        SendRefusal(AConnection, E);
    } catch (const std::exception& E) {
        DoCommandError(AConnection, AParams, E);
        throw;
    }
}

void TnbTcpCommandServer::SendRefusal(TnbCommandConnection& AConnection,
                                      const EnbTcpCommandServerError& E) {
    if (E.CloseAfterReply) {
        SendResponseAndClose(AConnection, E.Command, E.what());
    } else {
        SendResponse(AConnection, E.Command, E.what());
    }
}

// ---- Commands that wait ----

TnbCommandBlockingSection::TnbCommandBlockingSection(TnbTcpCommandServer& AServer,
                                                     TnbCommandConnection& AConnection)
    : server_(AServer), connection_(AConnection) {
    server_.BeginBlockingCommand(connection_);
}

TnbCommandBlockingSection::~TnbCommandBlockingSection() {
    server_.EndBlockingCommand(connection_);
}

void TnbTcpCommandServer::BeginBlockingCommand(TnbCommandConnection& AConnection) {
    std::vector<TnbCommandConnection::TQueuedCommand> aside;
    {
        std::lock_guard lock(AConnection.queueLock_);
        AConnection.blocking_ = true;
        // Lock-free commands that arrived before this one started were meant for it.
        for (auto it = AConnection.queue_.begin(); it != AConnection.queue_.end();) {
            if (it->info != nullptr && it->info->NoLock()) {
                AConnection.queuedCost_ -= TnbProcessCommandHandler::QueuedCost(*it->params);
                aside.push_back(std::move(*it));
                it = AConnection.queue_.erase(it);
            } else {
                ++it;
            }
        }
        if (!aside.empty())
            ++AConnection.aside_;
    }
    if (!aside.empty()) {
        RunAside(AConnection, std::move(aside));
    }
}

void TnbTcpCommandServer::EndBlockingCommand(TnbCommandConnection& AConnection) noexcept {
    std::lock_guard lock(AConnection.queueLock_);
    AConnection.blocking_ = false;
}

void TnbTcpCommandServer::RunAside(TnbCommandConnection& AConnection,
                                   std::vector<TnbCommandConnection::TQueuedCommand> ACommands) {
    // The commands travel in a shared holder: the task must stay copyable.
    auto commands =
        std::make_shared<std::vector<TnbCommandConnection::TQueuedCommand>>(std::move(ACommands));
    const bool queued =
        QueueTask(AConnection.shared_from_this(), [this, commands](TnbUserConnection& connection) {
            auto& command = static_cast<TnbCommandConnection&>(connection);
            try {
                for (auto& item : *commands) {
                    ExecuteCommand(command, *item.info, *item.params);
                }
            } catch (...) {
                command.DropCommands();  // the connection ends
                EndAside(command, false);
                throw;
            }
            EndAside(command, true);
        });
    if (!queued)
        EndAside(AConnection, false);  // the server stops
}

void TnbTcpCommandServer::EndAside(TnbCommandConnection& AConnection, bool AResume) {
    {
        std::lock_guard lock(AConnection.queueLock_);
        --AConnection.aside_;
        if (AConnection.aside_ > 0 || !AConnection.asideHoldsDrain_)
            return;
        AConnection.asideHoldsDrain_ = false;
        if (!AResume) {
            AConnection.draining_ = false;
            return;
        }
    }
    DrainCommands(AConnection, true);
}

void TnbTcpCommandServer::DeferCommandEnd(
    TnbCommandConnection& AConnection, std::uint32_t AMilliseconds,
    std::function<void(TnbCommandConnection& AConnection)> AEnd) {
    {
        std::lock_guard lock(AConnection.queueLock_);
        AConnection.suspended_ = true;
    }
    InbUserConnection connection = AConnection.shared_from_this();
    // The listener's timer waits; then a worker runs the end and what queued up behind it.
    ScheduleTask(AMilliseconds, [this, connection, end = std::move(AEnd)] {
        QueueTask(connection, [this, end](TnbUserConnection& target) {
            EndDeferredCommand(static_cast<TnbCommandConnection&>(target), end);
        });
    });
}

void TnbTcpCommandServer::EndDeferredCommand(
    TnbCommandConnection& AConnection, const std::function<void(TnbCommandConnection&)>& AEnd) {
    try {
        std::lock_guard lock(AConnection.commandLock_);
        AEnd(AConnection);
    } catch (const EnbTcpCommandServerError& E) {
        SendRefusal(AConnection, E);
    } catch (...) {
        AConnection.DropCommands();
        throw;
    }
    {
        std::lock_guard lock(AConnection.queueLock_);
        AConnection.suspended_ = false;
    }
    DrainCommands(AConnection, true);
}

// ---- Replies ----

void TnbTcpCommandServer::SendResponse(TnbCommandConnection& AConnection,
                                       const std::string& ACommand, const std::string& AResponse) {
    DoSendResponse(AConnection, ACommand, AResponse);
    WriteReply(AConnection,
               TnbTranslator::Encode(OneLine(AResponse) + "\r\n", GetResponseCharSet(AConnection)),
               false);
}

void TnbTcpCommandServer::SendResponseAndClose(TnbCommandConnection& AConnection,
                                               const std::string& ACommand,
                                               const std::string& AResponse) {
    DoSendResponse(AConnection, ACommand, AResponse);
    WriteReply(AConnection,
               TnbTranslator::Encode(OneLine(AResponse) + "\r\n", GetResponseCharSet(AConnection)),
               true);
}

void TnbTcpCommandServer::WriteReply(TnbCommandConnection& AConnection, std::string bytes,
                                     bool close) {
    std::lock_guard lock(AConnection.ConnectionLock());
    if (AConnection.RepliesWaiting()) {
        // Behind the multi-line reply: overtaking it would corrupt the reply stream.
        // SECURITY: a client that never reads must not make the server hold replies forever.
        if (AConnection.waitingBytes_ + bytes.size() > kMaxDeferredReplyBytes) {
            RaiseSocketError(kNoBufferSpace);
        }
        AConnection.waitingBytes_ += bytes.size();
        TnbCommandConnection::TReply reply;
        reply.bytes = std::move(bytes);
        reply.close = close;
        AConnection.waiting_.push_back(std::move(reply));
        return;
    }
    if (close) {
        AConnection.WriteDataAndClose(bytes);
    } else {
        AConnection.WriteData(bytes);
    }
}

void TnbTcpCommandServer::SendMultipleLines(TnbCommandConnection& AConnection,
                                            std::vector<std::string> ALines,
                                            const std::string& ATerminator) {
    SendMultipleLines(AConnection, std::move(ALines), 0, ATerminator);
}

void TnbTcpCommandServer::SendMultipleLines(TnbCommandConnection& AConnection,
                                            std::vector<std::string> ALines, int ALineCount,
                                            const std::string& ATerminator) {
    TnbCommandConnection::TReply reply;
    reply.multiLine = true;
    reply.lineCount = ALineCount <= 0 || static_cast<std::size_t>(ALineCount) > ALines.size()
                          ? ALines.size()
                          : static_cast<std::size_t>(ALineCount);
    reply.lines = std::move(ALines);
    reply.lines.resize(reply.lineCount);  // lines past the count are never sent
    reply.terminator = ATerminator;
    if (!reply.terminator.empty() && reply.terminator.back() != '\n') {
        reply.terminator = OneLine(reply.terminator) + "\r\n";
    }

    std::lock_guard lock(AConnection.ConnectionLock());
    if (AConnection.RepliesWaiting()) {
        std::size_t bytes = reply.terminator.size();
        for (const auto& line : reply.lines) {
            bytes += line.size() + 2;
        }
        // SECURITY: as for single replies held back.
        if (AConnection.waitingBytes_ + bytes > kMaxDeferredReplyBytes) {
            RaiseSocketError(kNoBufferSpace);
        }
        AConnection.waitingBytes_ += bytes;
        AConnection.waiting_.push_back(std::move(reply));
        return;
    }
    AConnection.lines_ = std::move(reply);
    AConnection.sending_ = true;
    SendNextLines(AConnection);
}

void TnbTcpCommandServer::DoAcceptConnection(TnbUserConnection& AConnection, bool& Handled) {
    // ftplib sends ABOR as urgent data, lftp its Telnet Synch: out of band, a byte of the line
    // would vanish. Failing to set it costs only that, so the session goes on regardless.
    SocketSetOobInline(AConnection.Socket().Handle());
    // SECURITY: a command connection carries short lines; fixed small kernel buffers keep a
    // client that never reads from parking megabytes of replies (and requests) in the kernel,
    // and bring the server's own back-pressure into play after a few replies.
    SocketSetBufferSizes(AConnection.Socket().Handle(), kCommandSocketBuffer);
    TnbTcpServerTls::DoAcceptConnection(AConnection, Handled);
}

void TnbTcpCommandServer::DoWriteConnection(TnbUserConnection& AConnection) {
    TnbTcpServerTls::DoWriteConnection(AConnection);
    if (auto* connection = dynamic_cast<TnbCommandConnection*>(&AConnection)) {
        SendNextLines(*connection);
    }
}

void TnbTcpCommandServer::SendNextLines(TnbCommandConnection& AConnection) {
    std::lock_guard lock(AConnection.ConnectionLock());
    while (AConnection.multiLineDone_ > 0) {
        --AConnection.multiLineDone_;
        DoSendMultipleLines(AConnection);
    }
    if (!AConnection.Active()) {
        // Nobody reads any more: drop what waits.
        AConnection.sending_ = false;
        AConnection.lines_ = {};
        AConnection.waiting_.clear();
        AConnection.waitingBytes_ = 0;
        return;
    }
    for (;;) {
        // One batch at a time: more output waits until the socket has taken what is pending.
        if (AConnection.PendingOutputSize() > 0) {
            return;
        }
        if (!AConnection.sending_) {
            if (AConnection.waiting_.empty()) {
                return;
            }
            TnbCommandConnection::TReply next = std::move(AConnection.waiting_.front());
            AConnection.waiting_.pop_front();
            if (!next.multiLine) {
                AConnection.waitingBytes_ -= next.bytes.size();
                if (next.close) {
                    AConnection.WriteDataAndClose(next.bytes);
                } else {
                    AConnection.WriteData(next.bytes);
                }
                continue;
            }
            std::size_t bytes = next.terminator.size();
            for (const auto& line : next.lines) {
                bytes += line.size() + 2;
            }
            AConnection.waitingBytes_ -= std::min(bytes, AConnection.waitingBytes_);
            AConnection.lines_ = std::move(next);
            AConnection.sending_ = true;
        }
        if (!SendLinesPass(AConnection)) {
            return;
        }
    }
}

bool TnbTcpCommandServer::SendLinesPass(TnbCommandConnection& AConnection) {
    TnbCommandConnection::TReply& reply = AConnection.lines_;
    const std::string charSet = GetResponseCharSet(AConnection);
    // A batch is what one write hands over; a line longer than a batch goes out on its own.
    const std::size_t batchSize =
        AConnection.BatchSize() > 0 ? static_cast<std::size_t>(AConnection.BatchSize()) : 8192;
    const bool dotStuffing = reply.terminator == ".\r\n";

    std::string batch;
    while (reply.lineIndex < reply.lineCount) {
        std::string& line = reply.lines[reply.lineIndex];
        std::string text;
        if (dotStuffing && !line.empty() && line.front() == '.') {
            text += '.';
        }
        text += OneLine(line);
        text += "\r\n";
        std::string bytes = TnbTranslator::Encode(text, charSet);
        if (!batch.empty() && batch.size() + bytes.size() > batchSize) {
            const bool all = AConnection.WriteData(batch);
            batch.clear();
            if (!all) {
                return false;  // the rest goes on the next write-ready notification
            }
        }
        batch += bytes;
        std::string().swap(line);  // sent lines free their memory as the reply advances
        ++reply.lineIndex;
    }
    if (!reply.terminator.empty()) {
        batch += TnbTranslator::Encode(reply.terminator, charSet);
    }
    AConnection.sending_ = false;
    reply = {};
    const bool all = batch.empty() || AConnection.WriteData(batch);
    if (all) {
        DoSendMultipleLines(AConnection);
    } else {
        ++AConnection.multiLineDone_;  // raised once the socket has taken the rest
    }
    return all;
}

}  // namespace nb
