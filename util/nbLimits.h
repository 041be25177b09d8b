// Every limit the server applies to what peers and hosts send, each with its reason.
// A limit is enforced where the input enters and has a test of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nb {

// SECURITY: output a connection has accepted but its client has not taken yet. Above the hold
// mark the server stops reading that client's requests until the output drains (a client that
// sends commands and never reads cannot make the server produce more); 256 KiB is far above any
// reply burst of a well-behaved session.
inline constexpr std::int64_t kPendingOutputReadHold = 256 * 1024;
// SECURITY: the hard cap of that output; a write past it fails with 10055 (no buffer space) and
// closes the connection. 4 MiB covers a hold-mark's worth plus the replies of one large read.
inline constexpr std::int64_t kMaxPendingOutput = 4 * 1024 * 1024;
// SECURITY: bytes one read of a server connection takes before its requests are handed on. The
// pending-output hold is checked between reads, so this bounds what a burst of pipelined
// requests can make the server produce at once (64 KiB of requests; further bytes wait in the
// socket and are read by the next pass).
inline constexpr std::int64_t kMaxReadPass = 64 * 1024;
// Bytes one zero-copy send of a file may move. The batch size exists to bound a buffer, and a
// file sent straight from the page cache needs none; 1 MiB keeps the system calls few while
// abort checks and progress reports still come every few milliseconds at memory speed.
inline constexpr std::int64_t kSendFileChunk = 1024 * 1024;

// SECURITY: one command line, finished or not. A real FTP line is a word and one path (a Linux
// path is at most 4096 bytes), so 64 KiB is far above any of them; longer input is discarded and
// handled like an exceeded MaxDataSize (the connection is closed), with or without MaxDataSize.
inline constexpr std::size_t kMaxCommandLine = 64 * 1024;
// SECURITY: commands of one connection waiting behind the one that runs. A client waits for its
// replies, so more than a handful means a flood while a long command (a transfer) runs; past
// this the input is discarded and handled like an exceeded MaxDataSize.
inline constexpr std::size_t kMaxQueuedCommands = 256;
// SECURITY: reply bytes held back behind a multi-line reply that the client does not read;
// past this the connection fails with 10055 (no buffer space), like kMaxPendingOutput.
inline constexpr std::size_t kMaxDeferredReplyBytes = 1024 * 1024;

// SECURITY: log lines waiting for a slow log reader (the program's standard output). Clients
// make the log, so a reader that stops reading must cost bounded memory and no server thread:
// past this the lines are dropped and counted. 1 MiB is minutes of a busy server's log.
inline constexpr std::size_t kMaxLogBacklog = 1024 * 1024;

// SECURITY: password guessing per address (the server guard's login turns). After this many
// failed logins an address gets one answer per kLoginTurnInterval ms, however many connections
// and user names it uses: a few typing errors cost nothing, a guesser gets one try a second.
inline constexpr std::int32_t kLoginFailuresBeforeTurns = 3;
inline constexpr std::int32_t kLoginTurnInterval = 1000;
// An address that has made no login attempt for this long (ms) starts afresh: its failures are
// forgotten only by waiting, never by a success in between (a guesser with one account of its
// own could reset them at will).
inline constexpr std::int32_t kLoginFailureMemory = 10 * 60 * 1000;

// SECURITY: names STOU tries (FTP0.TMP, FTP1.TMP, ...) before it gives up with 550. Each probe is
// one file lookup; a directory that a client filled with such names must not keep a worker busy.
inline constexpr int kFtpMaxUniqueNameProbes = 1000;

}  // namespace nb
