// The line-command server: turns each connection's bytes into command lines, runs each command
// through a command table, and sends replies (single lines, a line that closes the connection,
// and long multi-line replies fed to the socket as it drains). Protocol-neutral: the FTP server
// derives from it, fills the table and answers in FTP's reply format.
//
// Threads and order: a worker reads a connection's input under the connection lock, takes out
// the complete lines and releases the lock before any command runs. The commands of one
// connection run one at a time, in arrival order, from a per-connection queue that the worker
// holding it drains; a worker never waits for another command of its connection. A command that
// waits on its peer (a transfer) does so in a TnbCommandBlockingSection, which takes its worker
// out of the pool's count, so a slow client ties up no worker that others need. Lock-free
// commands (FTP's ABOR) run at once beside the running command: on the worker that read them,
// or, when they arrived behind commands not yet started (RETR and ABOR in one read), as soon as
// the command ahead enters its blocking section (or in turn, when it ends without one). A
// command whose end must wait for time alone (a failed login's delay) ends through
// DeferCommandEnd, which holds no thread; the connection's next commands wait for that end.
//
// Replies never block on the network (the connection keeps what the socket does not take) and
// never carry CR or LF from their text: each becomes a blank. A reply sent while a multi-line
// reply is still draining goes out after that reply's terminator.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "tls/nbTcpServerTls.h"
#include "util/nbStream.h"

namespace nb {

class TnbTcpCommandServer;
class TnbCommandConnection;

// ---- Errors ----

// A refused command: the message is the complete reply line to send (for FTP "550 x: failed"),
// ErrorCode the reply code. The command server sends the line and the session goes on; with
// CloseAfterReply the connection closes after the reply.
class EnbTcpCommandServerError : public EnbTcpServerError {
public:
    EnbTcpCommandServerError(const std::string& message, int errorCode, std::string command = {},
                             bool closeAfterReply = false)
        : EnbTcpServerError(message, errorCode),
          Command(std::move(command)),
          CloseAfterReply(closeAfterReply) {}

    std::string Command;  // the command the reply answers
    bool CloseAfterReply;
};

inline constexpr int nbErrMaxDataSize = -350;

// Input beyond MaxDataSize or beyond the built-in line ceiling (kMaxCommandLine): the input is
// discarded and, unless DoMaxDataSizeError handles it, the connection is closed.
class EnbMaxDataSizeError : public EnbTcpCommandServerError {
public:
    EnbMaxDataSizeError()
        : EnbTcpCommandServerError("Data size limit is exceeded", nbErrMaxDataSize) {}
};

// ---- Reply formatting ----

// A reply format: only a string literal (checked when compiling), so client text can never be
// used as a format. Placeholders: %s and %d (also %u) take the next argument as text, %% is "%".
class TnbReplyFormat {
public:
    template <std::size_t N>
    consteval TnbReplyFormat(const char (&text)[N]) : text_(text, N - 1) {
        for (std::size_t i = 0; i + 1 < N; ++i) {
            if (text[i] == '%') {
                const char next = i + 2 < N ? text[i + 1] : '\0';
                if (next != 's' && next != 'd' && next != 'u' && next != '%') {
                    throw "reply format: only %s, %d, %u and %% are known";
                }
                ++i;
            }
        }
    }
    std::string_view Text() const { return text_; }

private:
    std::string_view text_;
};

// Text of one format argument.
inline std::string ReplyArgText(std::string_view v) {
    return std::string(v);
}
inline std::string ReplyArgText(const char* v) {
    return v ? std::string(v) : std::string();
}
inline std::string ReplyArgText(const std::string& v) {
    return v;
}
template <class T>
requires std::is_integral_v<T> std::string ReplyArgText(T v) {
    return std::to_string(v);
}

// Fills the placeholders in order; a missing argument counts as empty text.
std::string FormatReplyText(std::string_view format, const std::vector<std::string>& args);

template <class... TArgs>
std::string FormatReply(TnbReplyFormat format, const TArgs&... args) {
    return FormatReplyText(format.Text(), {ReplyArgText(args)...});
}

// ---- Parsed lines and the command table ----

// One parsed command line. The command context owns it; a handler must not keep it after it
// returns.
class TnbTcpCommandParams {
public:
    virtual ~TnbTcpCommandParams() = default;

    // Text := line; Command := the word before the first blank in upper case (a-z only);
    // Params := everything after that blank, unchanged (further blanks included).
    virtual void Parse(std::string_view line);

    std::string Command;
    std::string Params;
    std::string Text;  // the whole trimmed line
};

// One entry of the command table. Name is compared exactly with the upper-cased command word,
// so entries are written in upper case. A NoLock command runs at once on the worker that read
// it, beside a running command of the same connection (FTP's ABOR).
class TnbTcpCommandInfo {
public:
    explicit TnbTcpCommandInfo(std::string name, bool noLock = false)
        : name_(std::move(name)), noLock_(noLock) {}
    virtual ~TnbTcpCommandInfo() = default;
    TnbTcpCommandInfo(const TnbTcpCommandInfo&) = delete;
    TnbTcpCommandInfo& operator=(const TnbTcpCommandInfo&) = delete;

    const std::string& Name() const { return name_; }
    bool NoLock() const { return noLock_; }
    // The command waits on its peer in a TnbCommandBlockingSection (a transfer). A lock-free
    // command read while it runs but before that section waits for the section or the
    // command's end, so its reply never comes ahead of this command's first one: an ABOR meant
    // for a transfer still being set up finds the transfer.
    bool WaitsOnPeer() const { return waitsOnPeer_; }
    void SetWaitsOnPeer(bool value) { waitsOnPeer_ = value; }
    // Set when the entry is added to a server's table.
    TnbTcpCommandServer* Server() const { return server_; }
    void SetServer(TnbTcpCommandServer* server) { server_ = server; }

    // Worker thread. Refuse a command by raising EnbTcpCommandServerError with the reply line.
    virtual void Execute(TnbCommandConnection& AConnection, TnbTcpCommandParams& AParams) = 0;

private:
    std::string name_;
    bool noLock_;
    bool waitsOnPeer_ = false;
    TnbTcpCommandServer* server_ = nullptr;
};

// The entry made for a word that is not in the table: raises the server's OnCustomCommand.
class TnbTcpCustomCommandInfo : public TnbTcpCommandInfo {
public:
    explicit TnbTcpCustomCommandInfo(TnbTcpCommandServer& server);
    void Execute(TnbCommandConnection& AConnection, TnbTcpCommandParams& AParams) override;
};

// An entry that calls a member function of the server, with the connection as the server's own
// connection class:
//   CommandList().Add(MakeCommand("RETR", &TnbMyServer::CmdRetr));
template <class TServer, class TConnection>
class TnbTcpMethodCommandInfo : public TnbTcpCommandInfo {
public:
    using THandler = void (TServer::*)(TConnection& AConnection, TnbTcpCommandParams& AParams);

    TnbTcpMethodCommandInfo(std::string name, THandler handler, bool noLock = false)
        : TnbTcpCommandInfo(std::move(name), noLock), handler_(handler) {}

    void Execute(TnbCommandConnection& AConnection, TnbTcpCommandParams& AParams) override {
        // A host may supply connections of its own class (OnCreateConnection): check, not assume.
        auto& server = dynamic_cast<TServer&>(*Server());
        auto& connection = dynamic_cast<TConnection&>(AConnection);
        (server.*handler_)(connection, AParams);
    }

private:
    THandler handler_;
};

template <class TServer, class TConnection>
std::unique_ptr<TnbTcpCommandInfo> MakeCommand(std::string name,
                                               void (TServer::*handler)(TConnection&,
                                                                        TnbTcpCommandParams&),
                                               bool noLock = false) {
    return std::make_unique<TnbTcpMethodCommandInfo<TServer, TConnection>>(std::move(name), handler,
                                                                           noLock);
}

// The command table, in the order the entries were added. Filled once by RegisterCommands
// before the server handles its first connection, read-only afterwards (so workers read it
// without a lock).
class TnbTcpCommandList {
public:
    explicit TnbTcpCommandList(TnbTcpCommandServer& server) : server_(server) {}
    TnbTcpCommandList(const TnbTcpCommandList&) = delete;
    TnbTcpCommandList& operator=(const TnbTcpCommandList&) = delete;

    // Takes the entry, sets its Server and returns it.
    TnbTcpCommandInfo& Add(std::unique_ptr<TnbTcpCommandInfo> info);
    // The first entry whose Name equals command exactly, or nullptr.
    TnbTcpCommandInfo* Find(std::string_view command) const;
    int Count() const { return static_cast<int>(items_.size()); }
    TnbTcpCommandInfo& Items(int index) const {
        return *items_.at(static_cast<std::size_t>(index));
    }
    TnbTcpCommandServer& Server() const { return server_; }

private:
    TnbTcpCommandServer& server_;
    std::vector<std::unique_ptr<TnbTcpCommandInfo>> items_;
};

// ---- Input framing ----

// The commands taken out of one read, in order.
class TnbProcessDataContext {
public:
    virtual ~TnbProcessDataContext() = default;
    bool HasCommands() const { return hasCommands_; }
    // The read made the input too large; it was discarded. Kept with the context, not the
    // handler, because two reads of one connection may be dispatched at the same time.
    bool SizeExceeded() const { return sizeExceeded_; }
    void SetSizeExceeded(bool value) { sizeExceeded_ = value; }

protected:
    bool hasCommands_ = false;

private:
    bool sizeExceeded_ = false;
};

class TnbProcessCommandContext : public TnbProcessDataContext {
public:
    TnbProcessCommandContext() { hasCommands_ = true; }

    void Add(std::unique_ptr<TnbTcpCommandParams> params) { items_.push_back(std::move(params)); }
    int Count() const { return static_cast<int>(items_.size()); }
    TnbTcpCommandParams& Items(int index) const {
        return *items_.at(static_cast<std::size_t>(index));
    }
    // Hands the parsed lines over (the context is empty afterwards).
    std::vector<std::unique_ptr<TnbTcpCommandParams>> TakeAll() { return std::move(items_); }

private:
    std::vector<std::unique_ptr<TnbTcpCommandParams>> items_;
};

// Owns a connection's buffer of received, unprocessed bytes and turns it into contexts.
// Thread notes: used under the connection lock only (ParseInput) or by the one worker that
// dispatches the context it got.
class TnbProcessDataHandler {
public:
    using TDispatchEvent =
        std::function<void(TnbCommandConnection& AConnection, TnbProcessDataContext& AContext)>;

    TnbProcessDataHandler(TnbTcpCommandServer& server, TDispatchEvent dispatch)
        : server_(server), dispatch_(std::move(dispatch)) {}
    virtual ~TnbProcessDataHandler() = default;
    TnbProcessDataHandler(const TnbProcessDataHandler&) = delete;
    TnbProcessDataHandler& operator=(const TnbProcessDataHandler&) = delete;

    TnbTcpCommandServer& Server() const { return server_; }
    TnbCommandConnection* Connection() const { return connection_; }
    void SetConnection(TnbCommandConnection* connection) { connection_ = connection; }
    // Received bytes not yet taken out as lines, positioned at the end for the next append.
    TnbMemoryStream& Buffer() { return buffer_; }

    // Takes what is complete out of the buffer; the unfinished rest stays, ready for more bytes.
    std::unique_ptr<TnbProcessDataContext> ParseInput(std::int64_t AMaxDataSize);
    // Hands the context to the dispatch callback; raises EnbMaxDataSizeError instead when the
    // parse found the input too large (the context's SizeExceeded).
    void Dispatch(TnbProcessDataContext& AContext);

protected:
    // Parses ABuffer; ARemain := the number of bytes at its end that wait for more input.
    virtual std::unique_ptr<TnbProcessDataContext> Process(TnbMemoryStream& ABuffer,
                                                           std::int64_t& ARemain,
                                                           std::int64_t AMaxDataSize) = 0;

private:
    TnbTcpCommandServer& server_;
    TnbCommandConnection* connection_ = nullptr;  // the owner
    TDispatchEvent dispatch_;
    TnbMemoryStream buffer_;
};

// Splits the input into command lines:
// - the complete text is everything up to the last CR or LF byte; the bytes after it wait;
// - a line ends at CR, LF or CR LF; NUL bytes become blanks; Telnet sequences (IAC and a
//   command byte 0xF0-0xFE) are removed, so "ABOR" sent with a Telnet interrupt is recognised;
//   IAC IAC is one byte 0xFF, and a 0xFF before any other byte is data and stays;
// - each line is decoded in GetRequestCharSet, trimmed, and parsed unless empty;
// - bytes already scanned are not scanned or decoded again when more of their line arrives;
// - SECURITY: a line longer than kMaxCommandLine, finished or not, or a buffer beyond
//   MaxDataSize (> 0), discards the input and reports EnbMaxDataSizeError; the rest of that
//   line is skipped when it arrives;
// - SECURITY: one parse takes at most the budget the server gives (SetBudget: the room in the
//   connection's command queue); complete lines beyond it wait in the buffer, unparsed, and
//   the server holds the connection's reads until they are taken (HasWaitingLines).
class TnbProcessCommandHandler : public TnbProcessDataHandler {
public:
    using TCreateParamsEvent =
        std::function<std::unique_ptr<TnbTcpCommandParams>(TnbCommandConnection& AConnection)>;

    TnbProcessCommandHandler(TnbTcpCommandServer& server, TDispatchEvent dispatch,
                             TCreateParamsEvent createParams)
        : TnbProcessDataHandler(server, std::move(dispatch)),
          createParams_(std::move(createParams)) {}

    // The next parse takes at most ACommands commands and stops once they cost ACost bytes
    // (QueuedCost; the first command is always taken when ACommands > 0). Unlimited by default.
    void SetBudget(std::size_t ACommands, std::size_t ACost) {
        budgetCommands_ = ACommands;
        budgetCost_ = ACost;
    }
    // Complete lines that the last parse left in the buffer for want of budget. Any thread.
    bool HasWaitingLines() const { return waitingLines_.load(); }
    // What a parsed command costs while it waits in a queue: its object and its text.
    static std::size_t QueuedCost(const TnbTcpCommandParams& AParams) {
        return sizeof(TnbTcpCommandParams) + AParams.Text.size() + AParams.Params.size();
    }

protected:
    std::unique_ptr<TnbProcessDataContext> Process(TnbMemoryStream& ABuffer, std::int64_t& ARemain,
                                                   std::int64_t AMaxDataSize) override;
    virtual std::unique_ptr<TnbProcessCommandContext> CreateContext();

private:
    // The cost of the command added (0 for a line that holds none).
    std::size_t AddLine(TnbProcessCommandContext& context, std::string_view bytes,
                        const std::string& charSet);
    // Discards the input; the rest of an unfinished line is skipped when it arrives.
    std::unique_ptr<TnbProcessDataContext> Exceeded(bool lineUnfinished, std::int64_t& ARemain);

    TCreateParamsEvent createParams_;
    std::size_t scanned_ = 0;  // bytes at the buffer's start known to hold no CR or LF
    bool skipLine_ = false;    // after an oversized line: drop bytes up to its end
    std::size_t budgetCommands_ = SIZE_MAX;
    std::size_t budgetCost_ = SIZE_MAX;
    std::atomic<bool> waitingLines_{false};
};

// ---- The connection ----

// The per-client object of the command server: the input handler, the per-connection command
// queue and the state of multi-line replies.
// Thread notes: the input handler and the reply state are used under the connection lock; the
// command queue has its own leaf lock; the command lock is held while a queued command runs.
class TnbCommandConnection : public TnbUserConnectionTls {
public:
    TnbCommandConnection();
    ~TnbCommandConnection() override = default;

    // The command lock: held while a command that is not lock-free runs.
    void LockCommand() { commandLock_.lock(); }
    void UnlockCommand() { commandLock_.unlock(); }

    // Takes the handler and makes this connection its Connection.
    void SetDataHandler(std::unique_ptr<TnbProcessDataHandler> handler);
    // Lives as long as the connection (a dispatch may still use it after a close).
    TnbProcessDataHandler* DataHandler() const { return dataHandler_.get(); }

    // SECURITY: also holds the input while replies wait behind a multi-line reply, while parsed
    // lines wait in the buffer, and while the command queue is full (kMaxQueuedCommands, or
    // kMaxQueuedCommandBytes of commands); and, for the order of commands, while a parse's
    // commands are on their way into the queue. Connection lock held.
    bool HoldsInput() override;

private:
    friend class TnbTcpCommandServer;

    // A reply waiting behind a multi-line reply: either encoded bytes of one line or a whole
    // multi-line reply of its own.
    struct TReply {
        bool multiLine = false;
        std::string bytes;   // single line: encoded, with CR LF
        bool close = false;  // single line: close the connection after it
        std::vector<std::string> lines;
        std::size_t lineCount = 0;
        std::size_t lineIndex = 0;
        std::string terminator;  // with CR LF when not empty
    };
    struct TQueuedCommand {
        std::unique_ptr<TnbTcpCommandParams> params;
        TnbTcpCommandInfo* info;  // nullptr: not in the table
    };

    std::unique_ptr<TnbProcessDataHandler> dataHandler_;
    std::recursive_mutex commandLock_;

    // ---- Multi-line replies (connection lock) ----
    // A new reply must queue behind the ones not yet handed over.
    bool RepliesWaiting() const { return sending_ || !waiting_.empty(); }

    bool sending_ = false;        // `lines_` holds the multi-line reply being sent
    TReply lines_;                // its Lines, LineCount, LineIndex and Terminator
    std::deque<TReply> waiting_;  // replies behind it, in order
    std::size_t waitingBytes_ = 0;
    int multiLineDone_ = 0;  // finished replies whose OnSendMultipleLines is due

    // ---- Command queue (queueLock_) ----
    // The connection ends: the rest of its commands is dropped and nobody drains any more.
    void DropCommands();

    std::mutex queueLock_;
    std::deque<TQueuedCommand> queue_;
    std::size_t queuedCost_ = 0;  // QueuedCost of the commands in queue_
    bool draining_ = false;   // a worker runs the queue's commands (or a deferred end owns them)
    bool blocking_ = false;   // the running command is inside a TnbCommandBlockingSection
    bool suspended_ = false;  // the running command ends later (DeferCommandEnd)
    bool runningWaitsOnPeer_ = false;  // the queued command that runs now has WaitsOnPeer
    // Lock-free commands taken from the queue to run aside: the commands queued behind them
    // wait until they end, so a QUIT behind an ABOR never answers (and closes) ahead of it.
    int aside_ = 0;                 // RunAside tasks that have not ended
    bool asideHoldsDrain_ = false;  // the drain waits for them; the last one to end resumes it
    // Parses whose commands are not in the queue yet: waiting lines, which come after them,
    // are not taken meanwhile (they would overtake them).
    std::atomic<int> unqueued_{0};
};

// Marks the stretch of a running command that waits on its peer (a transfer, a data
// connection's accept or connect, its TLS handshake). The worker leaves the pool's count
// meanwhile (TnbBlockingSection), and lock-free commands waiting in the connection's queue are
// handed to another worker at once, so ABOR reaches the transfer. Worker thread, inside the
// command; the destructor may wait until the worker may run again (see TnbThreadPool).
class TnbCommandBlockingSection {
public:
    TnbCommandBlockingSection(TnbTcpCommandServer& AServer, TnbCommandConnection& AConnection);
    ~TnbCommandBlockingSection();
    TnbCommandBlockingSection(const TnbCommandBlockingSection&) = delete;
    TnbCommandBlockingSection& operator=(const TnbCommandBlockingSection&) = delete;

private:
    TnbBlockingSection section_;
    TnbTcpCommandServer& server_;
    TnbCommandConnection& connection_;
};

// ---- The server ----

using TnbTcpCommandEvent =
    std::function<void(TnbTcpCommandServer& Sender, TnbCommandConnection& AConnection,
                       TnbTcpCommandParams& ACommandParams)>;
using TnbTcpResponseEvent =
    std::function<void(TnbTcpCommandServer& Sender, TnbCommandConnection& AConnection,
                       const std::string& ACommand, const std::string& AResponse)>;
using TnbCreateCommandParamsEvent =
    std::function<void(TnbTcpCommandServer& Sender, TnbCommandConnection& AConnection,
                       std::unique_ptr<TnbTcpCommandParams>& ACommandParams)>;
using TnbTcpCommandConnectionEvent =
    std::function<void(TnbTcpCommandServer& Sender, TnbCommandConnection& AConnection)>;

// Ownership: owns its command table. Connections are TnbCommandConnection objects, shared as
// every connection of the TCP server.
class TnbTcpCommandServer : public TnbTcpServerTls {
public:
    TnbTcpCommandServer();
    ~TnbTcpCommandServer() override;

    // ---- Properties (any thread) ----

    // Largest number of unprocessed input bytes a connection may hold; 0 or less = no limit
    // (the built-in line ceiling kMaxCommandLine still applies). -1 by default.
    std::int64_t MaxDataSize() const { return maxDataSize_.load(); }
    void SetMaxDataSize(std::int64_t value) { maxDataSize_.store(value); }
    // Character set of commands and replies (see TnbTranslator); empty = bytes pass unchanged.
    std::string CharSet() const;
    void SetCharSet(std::string value);

    // ---- Events (bind before Start) ----

    TnbTcpCommandEvent OnReceiveCommand;                // before each command runs
    TnbTcpResponseEvent OnSendResponse;                 // before each single-line reply is written
    TnbCreateCommandParamsEvent OnCreateCommandParams;  // may supply a line's params object
    TnbTcpCommandEvent OnCustomCommand;                 // a word that is not in the table
    TnbTcpCommandConnectionEvent OnSendMultipleLines;   // a multi-line reply was handed over

    // ---- Replies (any thread; never block on the network) ----

    void SendResponse(TnbCommandConnection& AConnection, const std::string& ACommand,
                      const std::string& AResponse);
    // The reply is format filled with args (see TnbReplyFormat).
    template <class... TArgs>
    void SendResponseFormat(TnbCommandConnection& AConnection, const std::string& ACommand,
                            TnbReplyFormat format, const TArgs&... args) {
        SendResponse(AConnection, ACommand, FormatReply(format, args...));
    }
    // The connection closes once the reply has gone out.
    void SendResponseAndClose(TnbCommandConnection& AConnection, const std::string& ACommand,
                              const std::string& AResponse);
    // Sends the lines, each followed by CR LF, then ATerminator (CR LF added unless empty or
    // ending in LF). With the terminator ".\r\n" a line starting with "." gets one more in front.
    // ALineCount 0, or more than there are lines, means all. The reply advances one batch per
    // write-ready notification; it starts after any multi-line reply still being sent.
    void SendMultipleLines(TnbCommandConnection& AConnection, std::vector<std::string> ALines,
                           const std::string& ATerminator);
    void SendMultipleLines(TnbCommandConnection& AConnection, std::vector<std::string> ALines,
                           int ALineCount, const std::string& ATerminator);

    // Called by a running command that must end only after AMilliseconds (a failed login's
    // delay): the command returns at once and AEnd runs, under the command lock on a worker,
    // once the time has passed; the connection's next commands wait until then, and no thread
    // is held meanwhile (the listener's task timer waits). AEnd may refuse by raising
    // EnbTcpCommandServerError, as a command does. Dropped when the server stops.
    void DeferCommandEnd(TnbCommandConnection& AConnection, std::uint32_t AMilliseconds,
                         std::function<void(TnbCommandConnection& AConnection)> AEnd);

    // The table; fill it in RegisterCommands.
    TnbTcpCommandList& CommandList() { return commandList_; }

    // A new params object: the host's (OnCreateCommandParams), else a TnbTcpCommandParams.
    std::unique_ptr<TnbTcpCommandParams> CreateCommandParams(TnbCommandConnection& AConnection);
    // Gives the connection its input handler; under the connection lock.
    void InstallCommandHandler(TnbCommandConnection& AConnection);

protected:
    // ---- Virtual operations of the command server ----

    // Adds the table's entries (CommandList().Add). Called once, before the first connection is
    // created or the first command runs, so a subclass's override is the one called.
    virtual void RegisterCommands() {}
    // The entry for a word that is not in the table; the base raises OnCustomCommand.
    virtual std::unique_ptr<TnbTcpCommandInfo> CreateCustomCommandInfo(
        const TnbTcpCommandParams& AParams);
    // A command raised something other than EnbTcpCommandServerError; the connection is closed
    // afterwards.
    virtual void DoCommandError(TnbCommandConnection& AConnection,
                                const TnbTcpCommandParams& AParams, const std::exception& E);
    // Input too large: set Handled to keep the connection (the input is discarded either way).
    virtual void DoMaxDataSizeError(TnbCommandConnection& AConnection, bool& Handled);
    virtual std::string GetResponseCharSet(TnbCommandConnection& AConnection);
    virtual std::string GetRequestCharSet(TnbCommandConnection& AConnection);
    virtual void DoReceiveCommand(TnbCommandConnection& AConnection, TnbTcpCommandParams& AParams);
    virtual void DoSendResponse(TnbCommandConnection& AConnection, const std::string& ACommand,
                                const std::string& AResponse);
    virtual void DoCreateCommandParams(TnbCommandConnection& AConnection,
                                       std::unique_ptr<TnbTcpCommandParams>& AParams);
    virtual void DoCustomCommand(TnbCommandConnection& AConnection, TnbTcpCommandParams& AParams);
    virtual void DoSendMultipleLines(TnbCommandConnection& AConnection);

    // ---- Overrides of the TCP server ----

    void ReadConnection(TnbUserConnection& AConnection) override;
    // The inherited flush, then the queued commands that waited for the output to drain.
    void WriteConnection(TnbUserConnection& AConnection) override;
    void DoWriteConnection(TnbUserConnection& AConnection) override;
    // Keeps urgent data in the stream (see SocketSetOobInline), then the inherited event.
    void DoAcceptConnection(TnbUserConnection& AConnection, bool& Handled) override;
    InbUserConnection CreateConnection() override;
    InbUserConnection CreateDefaultConnection() override;

    // Runs the commands of one read: lock-free ones at once while a command of the connection
    // runs, the others through the connection's queue.
    void ProcessCommands(TnbCommandConnection& AConnection, TnbProcessDataContext& AContext);
    void ExecuteCommand(TnbCommandConnection& AConnection, TnbTcpCommandInfo& AInfo,
                        TnbTcpCommandParams& AParams);
    // A command's refusal becomes its reply (closing the connection after it when asked).
    void SendRefusal(TnbCommandConnection& AConnection, const EnbTcpCommandServerError& E);
    // Continues the multi-line reply of the connection; under the connection lock.
    void SendNextLines(TnbCommandConnection& AConnection);

private:
    friend class TnbTcpCustomCommandInfo;
    friend class TnbProcessCommandHandler;
    friend class TnbCommandBlockingSection;

    void EnsureCommandsRegistered();
    // Runs queued commands until the queue is empty, unless another worker already does; takes
    // the lines that wait in the input buffer as the queue empties. With AOwned the caller
    // already holds the drain (the end of a deferred command).
    // SECURITY: stops while the connection's output is backed up (OutputBacklogged); the write
    // item that drains the output resumes it. So a client that does not read makes the server
    // produce no more than one command's reply beyond the hold mark.
    void DrainCommands(TnbCommandConnection& AConnection, bool AOwned = false);
    bool OutputBacklogged(TnbCommandConnection& AConnection);
    // The budget of the next parse: the room in the command queue (none while backlogged).
    void SetParseBudget(TnbCommandConnection& AConnection, TnbProcessDataHandler& AHandler);
    // Parses the lines that wait in the input buffer and queues them; false when there are none
    // (or an earlier parse has not queued its commands yet).
    bool TakeWaitingLines(TnbCommandConnection& AConnection);
    // Dispatches a parsed context; the MaxDataSize failure closes the connection unless handled.
    void DispatchInput(TnbCommandConnection& AConnection, TnbProcessDataContext& AContext);
    // The running command enters or leaves its blocking section.
    void BeginBlockingCommand(TnbCommandConnection& AConnection);
    void EndBlockingCommand(TnbCommandConnection& AConnection) noexcept;
    // Runs lock-free commands on a worker of their own (counted in aside_ from before the call).
    void RunAside(TnbCommandConnection& AConnection,
                  std::vector<TnbCommandConnection::TQueuedCommand> ACommands);
    // A RunAside task ends: the drain it held goes on when asked (AResume).
    void EndAside(TnbCommandConnection& AConnection, bool AResume);
    // Runs a command's deferred end, then the commands that waited for it.
    void EndDeferredCommand(TnbCommandConnection& AConnection,
                            const std::function<void(TnbCommandConnection&)>& AEnd);
    void RunQueued(TnbCommandConnection& AConnection, TnbCommandConnection::TQueuedCommand& item);
    // Writes a single reply now, or behind the multi-line reply being sent.
    void WriteReply(TnbCommandConnection& AConnection, std::string bytes, bool close);
    // One pass over the current multi-line reply; false when the socket took only part.
    bool SendLinesPass(TnbCommandConnection& AConnection);

    TnbTcpCommandList commandList_;
    std::once_flag commandsRegistered_;
    std::atomic<std::int64_t> maxDataSize_{-1};
    mutable std::mutex charSetLock_;  // leaf lock
    std::string charSet_;
};

}  // namespace nb
