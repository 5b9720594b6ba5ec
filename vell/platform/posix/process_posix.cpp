// POSIX child processes.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "vell/platform/process.h"

extern char** environ;

namespace os {

bool child_process::spawn(const std::string& program, const std::vector<std::string>& args, int* sys_error)
{
    close();
    std::vector<std::string> all;
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int err = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (err != 0) {
        if (sys_error)
            *sys_error = err;
        return false;
    }
    pid_ = pid;
    ended_ = false;
    status_ = 0;
    return true;
}

int child_process::poll(bool block, int* exit_status)
{
    if (ended_) {
        if (exit_status)
            *exit_status = status_;
        return 1;
    }
    if (pid_ <= 0)
        return -1;
    int status = 0;
    pid_t r;
    do
        r = ::waitpid(static_cast<pid_t>(pid_), &status, block ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0)
        return 0;
    if (r < 0)
        return -1;
    ended_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255;
    if (exit_status)
        *exit_status = status_;
    return 1;
}

bool child_process::kill()
{
    if (pid_ <= 0 || ended_)
        return false;
    return ::kill(static_cast<pid_t>(pid_), SIGKILL) == 0;
}

bool child_process::running() const { return pid_ > 0 && !ended_ && ::kill(static_cast<pid_t>(pid_), 0) == 0; }

void child_process::close()
{
    if (pid_ > 0 && !ended_) {
        int status = 0;
        ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);  // reap it when it has ended
    }
    pid_ = -1;
    ended_ = false;
    status_ = 0;
}

}  // namespace os
