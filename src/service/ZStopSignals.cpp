#include "service/ZStopSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace SearchEngine {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT};

// The pipe of the one live ZStopSignals; the handler may touch nothing else.
volatile sig_atomic_t gWriteEnd = -1;
int gReadEnd = -1;

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    if (gWriteEnd >= 0)
        (void)::write(gWriteEnd, &byte, 1);
    errno = saved;
}

} // namespace

ZStopSignals::ZStopSignals(std::function<void(int)> onStop)
    : onStop_(std::move(onStop))
{
    int ends[2];
    if (gWriteEnd >= 0 || ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    gReadEnd = ends[0];
    gWriteEnd = ends[1];
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals)
        ::sigaction(signal, &action, nullptr);
    notifier_ = new QSocketNotifier(gReadEnd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ZStopSignals::drain);
}

ZStopSignals::~ZStopSignals()
{
    if (!notifier_)
        return;
    for (int signal : kStopSignals)
        ::signal(signal, SIG_DFL);
    const int writeEnd = gWriteEnd;
    gWriteEnd = -1;
    ::close(writeEnd);
    ::close(gReadEnd);
    gReadEnd = -1;
}

void ZStopSignals::drain()
{
    unsigned char byte = 0;
    while (::read(gReadEnd, &byte, 1) == 1)
        onStop_(int(byte));
}

} // namespace SearchEngine
