// What the test servers (PostgreSQL, MariaDB) share: a free port, and their
// programs run with their output in a log.
#ifndef TAVIKUSER_TESTS_SUPPORT_SERVER_PROCESS_H_
#define TAVIKUSER_TESTS_SUPPORT_SERVER_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace tavikuser::testing {

// A TCP port on 127.0.0.1 that nothing listens on right now. Throws
// std::runtime_error naming `server` when there is none.
int FreePort(const char* server);

// Servers refuse to run as root: run as root, their programs run as their
// own user.
bool RunningAsRoot();

// Starts a program, as `user` when run as root and `user` is given, with its
// output appended to `log`; returns its process id, or -1.
pid_t Spawn(std::vector<std::string> arguments, const std::string& log,
            const char* user);

// Runs a program as Spawn does, to its end; true when it succeeds.
bool Run(std::vector<std::string> arguments, const std::string& log,
         const char* user);

}  // namespace tavikuser::testing

#endif  // TAVIKUSER_TESTS_SUPPORT_SERVER_PROCESS_H_
