// The process's own standard streams, unbuffered and in binary mode, so that
// a reply line is exactly the bytes written and a read never waits for more
// than the peer has sent.
#pragma once

#include <cstddef>
#include <string_view>

namespace corvane::platform {

// Puts standard input into binary mode and sets standard output aside for
// replies alone: the process's own standard output then goes to the null
// device, so nothing but replies can reach the client (on Windows, not the
// C runtime's descriptor 1 when its handle also serves standard input or
// error, which redirecting it would close). Also makes a reader
// that goes away a write failure rather than the end of the process (on
// POSIX by ignoring SIGPIPE process-wide; child processes start with the
// default disposition all the same).
void prepare_stdio();

// Reads up to `capacity` bytes from standard input. Returns the count read,
// 0 at end of input, or -1 on a read error. A pipe's empty message or a
// part of a longer one is not the end (Windows; see platform/input_read.h).
long read_stdin(char* buffer, std::size_t capacity);

// Writes all of `bytes` to standard output. Returns false on failure,
// including a client that has closed its end.
bool write_stdout(std::string_view bytes);

}  // namespace corvane::platform
