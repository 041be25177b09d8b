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
// Bytes one zero-copy receive into a file may move (socket to pipe to file), and the size asked
// for that pipe. An upload then costs two system calls per MiB instead of two per batch, and the
// pipe holds pages only while a chunk passes through it.
inline constexpr std::int64_t kReceiveFileChunk = 1024 * 1024;

// SECURITY: the payload of one TLS record as its header may announce it: 2^14 bytes and the
// 2048 bytes of expansion TLS allows. A header announcing more is refused at once, so a partial
// record kept for the next read never grows past one record.
inline constexpr std::size_t kMaxTlsRecordPayload = 16384 + 2048;

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

// SECURITY: names STOU tries (FTP0.TMP, FTP1.TMP, ...) before it gives up with 550. Each probe is
// one file lookup; a directory that a client filled with such names must not keep a worker busy.
inline constexpr int kFtpMaxUniqueNameProbes = 1000;

// Random names an upload that replaces a file tries for its new file before it fails with
// "File exists"; a clash of 64 random bits needs someone guessing them, so a few suffice.
inline constexpr int kMaxReplacementNames = 8;
// SECURITY: symbolic links one path resolution below a session's root follows before it fails
// with ELOOP, as the system's own limit (40) does; links pointing at each other must not keep a
// worker walking.
inline constexpr int kMaxFollowedLinks = 40;

// Lines the window's log pane keeps (older ones scroll away), and lines waiting to be shown:
// a busy server writes several lines per command, so without a bound the window's memory would
// grow for as long as it runs. 10,000 lines is hours of an operator's reading.
inline constexpr int kMaxLogPaneLines = 10000;

}  // namespace nb
