// The control port's listening socket as the service manager hands it over (socket
// activation), taken before any thread starts: taking it clears LISTEN_FDS and LISTEN_PID
// from the environment.
#pragma once

// Why a handed-over socket cannot be used.
enum class ListenTake { ok, unreadable, not_one, not_ipv4_listening };

// *fd is the socket handed over, or -1 when none was (the daemon then listens itself).
ListenTake take_listen_socket(int* fd);

// The reason in words, for the caller's report.
const char* listen_take_text(ListenTake result);
