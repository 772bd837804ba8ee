#include "app/cli/InterruptWatch.h"

#include <csignal>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

std::mutex actionMutex;
std::function<void()> currentAction;

sigset_t InterruptSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

void Watch(sigset_t signals)
{
    int signal = 0;
    if (sigwait(&signals, &signal) != 0)
        return;
    std::fputs("kelvane-cli: interrupted: stopping after the file in hand (interrupt again to end at once)\n",
        stderr);
    {
        const std::lock_guard lock(actionMutex);
        if (currentAction)
            currentAction();
    }
    if (sigwait(&signals, &signal) != 0)
        return;
    // The default action, from this thread with the signal let through.
    std::signal(signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    raise(signal);
    _exit(128 + signal);
}

} // namespace

void WatchInterrupts()
{
    const sigset_t signals = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(Watch, signals).detach();
}

void SetInterruptAction(std::function<void()> action)
{
    const std::lock_guard lock(actionMutex);
    currentAction = std::move(action);
}
