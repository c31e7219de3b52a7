// A stand-in program for the single-instance tests: runs the check for the key on its
// command line, reports the outcome on stdout, then serves activation requests until
// its standard input closes.
//
//   first                      this is the first instance
//   second                     the running instance answered; the probe ends
//   took over, ended <pid>     nobody answered; <pid> was ended (0: none)
//   asked to front from <dir>  a later start asked for the front from folder <dir>
//   bye                        standard input closed; the probe ends cleanly
#include "platform/SingleInstance.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: instance_probe <product key>\n");
        return 2;
    }
    platform::SingleInstance instance(argv[1]);
    instance.SetActivateHandler([&instance] {
        std::printf("asked to front from %s\n", instance.requestFolder().c_str());
        std::fflush(stdout);
    });
    const bool run = instance.Check();
    switch (instance.outcome()) {
    case platform::SingleInstance::Outcome::First:
        std::printf("first\n");
        break;
    case platform::SingleInstance::Outcome::Refused:
        std::printf("second\n");
        break;
    default:
        std::printf("took over, ended %u\n", instance.terminatedProcess());
        break;
    }
    std::fflush(stdout);
    if (!run)
        return 0;

    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {instance.activationFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[1].revents & POLLIN)
            instance.HandlePending();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[256];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0 && !(n < 0 && errno == EINTR))
                break;
        }
    }
    instance.Close();
    std::printf("bye\n");
    std::fflush(stdout);
    return 0;
}
