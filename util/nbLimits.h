// Every limit the server applies to what peers and hosts send, each with its reason.
// A limit is enforced where the input enters and has a test of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nb {

// SECURITY: output a connection has accepted but its client has not taken yet (beyond what the
// socket holds). Above the hold mark the server reads no more of that client's requests and
// runs none of those it has, until the output drains: a client that sends commands and never
// reads costs this, one reply, and its unread input, not more. Well-behaved clients read their
// replies, so the mark only holds back pipelined requests, and 2 KiB is a dozen replies.
inline constexpr std::int64_t kPendingOutputReadHold = 2 * 1024;
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
// for that pipe. The one copy of an upload is the pipe's pages into the file's, and it is cheap
// only while those pages are still in the cache the sender wrote them through: pages parked in a
// 1 MiB pipe, on top of the socket's receive queue, no longer are, and an upload then costs twice
// the CPU per GiB that a read and a write cost (measured on loopback: 128 and 256 KiB about 0.55 s
// of server CPU per GiB, 512 KiB and 1 MiB 0.8 to 1.7 s). 128 KiB keeps the margin to that edge
// and the system calls still few (two per 128 KiB, against two per 64 KiB for a read and write).
inline constexpr std::int64_t kReceiveFileChunk = 128 * 1024;

// SECURITY: the payload of one TLS record as its header may announce it: 2^14 bytes and the
// 2048 bytes of expansion TLS allows. A header announcing more is refused at once, so a partial
// record kept for the next read never grows past one record.
inline constexpr std::size_t kMaxTlsRecordPayload = 16384 + 2048;
// SECURITY: protected bytes one read pass of a TLS stream takes from its socket before it
// unprotects them and hands them on. A client that sends faster than the server decrypts kept
// the pass reading (a 1 GiB upload was taken in passes of 200 MiB and more, held in memory
// twice and written at once), and held its thread meanwhile. 256 KiB keeps the buffers small
// and the file writes large; the bytes behind it wait in the socket for the next pass.
inline constexpr std::int64_t kMaxTlsReadPass = 256 * 1024;
// Receive size of a TLS read pass once its first receive came back full (the peer streams, an
// upload): batches of 8 KiB cost a system call per half record; 64 KiB takes eight at once and
// stays well inside the pass.
inline constexpr std::int64_t kTlsStreamingReceive = 64 * 1024;
// Bytes of a file source a TLS stream reads at once and protects chunk by chunk from memory:
// one read per 32 chunks of the default batch instead of one per chunk. The buffer lives as long
// as the stream that sent a file: a data connection's, which ends with its transfer.
inline constexpr std::int64_t kTlsReadAhead = 256 * 1024;
// Bytes of a file a TLS stream protects and sends at once: four full records and one send call,
// where a batch of 8 KiB made half-full records and a send call each. A divisor of kTlsReadAhead.
inline constexpr std::int64_t kTlsFileChunk = 64 * 1024;

// SECURITY: the TLS sessions one client's resumption scope keeps (its control connection's, one
// per handshake of it): a client that shakes hands again and again must not grow the server.
inline constexpr std::size_t kMaxScopeSessions = 4;
// Server TLS contexts kept for sharing, one per combination of settings and certificate in use.
// A host normally has one (two across a certificate reload); a host that hands out a
// certificate of its own per client only misses the cache, it never grows it past this.
inline constexpr std::size_t kMaxSharedServerContexts = 8;

// SECURITY: client text a reply repeats (a path, a user name), in bytes; longer text is cut
// and ends in "...". A reply stays a short line however long the request was, so a client
// cannot make the server write back more than a fraction of what it sent.
inline constexpr std::size_t kMaxReplyEcho = 512;

// SECURITY: a path a client names, and the virtual path it resolves to: Linux's PATH_MAX.
inline constexpr std::size_t kMaxPath = 4096;

// SECURITY: one command line, finished or not, without its line end: with CR LF a line fills
// 8 KiB. A real FTP line is a word and one path (at most kMaxPath), so this is twice any of
// them; longer input is discarded and handled like an exceeded MaxDataSize (the connection is
// closed), with or without MaxDataSize.
inline constexpr std::size_t kMaxCommandLine = 8 * 1024 - 2;
// SECURITY: received bytes a command connection holds before it parses them: one longest line
// with its end. A read takes no more than the room left, so an unfinished line, or complete
// lines that wait for room in the command queue, cost at most this.
inline constexpr std::int64_t kMaxInputBuffer = kMaxCommandLine + 2;
// SECURITY: kernel send and receive buffers of a command connection (the kernel doubles the
// value). Replies and requests are short lines; without a fixed size the kernel grows them to
// megabytes for a peer that never reads, which the server would fill before it holds back.
inline constexpr int kCommandSocketBuffer = 16 * 1024;
// Bytes one read of a command connection asks for (less when the buffer has less room): a
// pass of pipelined commands is parsed in small steps, and the stream's transfer buffer,
// which every read goes through, stays small for every session.
inline constexpr std::int64_t kCommandReadPass = 2 * 1024;
// SECURITY: commands of one connection parsed and waiting behind the one that runs: at most
// this many, and at most kMaxQueuedCommandBytes of them (their objects and text). Further lines
// wait unparsed in the input buffer and the client's reads are held until there is room, so
// pipelining is slowed to the server's pace, never cut off, and never costs more than this.
inline constexpr std::size_t kMaxQueuedCommands = 256;
inline constexpr std::size_t kMaxQueuedCommandBytes = 4 * 1024;
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
// SECURITY: ABOR replies a running transfer or digest owes, sent after its own reply. ABORs
// that come meanwhile produce no output until then, so nothing holds the client's reads: a
// client sending ABORs through a long digest would pile up replies (and the count) without
// end. A client sends one; those past this many go unanswered.
inline constexpr int kFtpMaxOwedAborReplies = 8;

// SECURITY: bytes HASH reads from a file at a time. The digest is computed through the stream,
// so a file of any size costs this much memory; 256 KiB keeps the reads few.
inline constexpr std::int64_t kFtpHashReadBlock = 256 * 1024;

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
