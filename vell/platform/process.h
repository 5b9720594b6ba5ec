// Child processes: start a program, wait for it with a time-out, end it by force.
// The child inherits the environment and the standard streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace os {

class child_process {
public:
    child_process() = default;
    ~child_process() { close(); }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // Starts program (a path, UTF-8) with the arguments after the program name. False with the
    // system error number.
    bool spawn(const std::string& program, const std::vector<std::string>& args, int* sys_error = nullptr);

    // Waits up to timeout_ms (U_INFINITE: no limit; finite waits poll through the platform time
    // hooks) for the child to end: 0 with its exit status (128 + signal number for a POSIX child
    // ended by a signal), U_WAIT_TIMEOUT, or U_WAIT_FAILED when there is no child.
    int wait(uint32_t timeout_ms, int* exit_status = nullptr);

    // Ends the child at once, as a crash would (SIGKILL, TerminateProcess).
    bool kill();

    // Forgets the child without waiting for it or ending it.
    void close();

    bool running() const;

private:
    // One look without waiting: 1 ended, 0 running, -1 failure.
    int poll(bool block, int* exit_status);

#ifdef _WIN32
    void* handle_ = nullptr;
#else
    long pid_ = -1;
#endif
    bool ended_ = false;
    int status_ = 0;
};

}  // namespace os
