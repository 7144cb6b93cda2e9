// SIGTERM (systemctl stop) and SIGINT (Ctrl-C) as events of the main loop:
// the handler only writes the signal's number to a pipe, and a socket
// notifier on the pipe's other end calls the stop function on the main
// thread, so the service stops as it does when its last client leaves.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace SearchEngine {

class ZStopSignals : public QObject {
public:
    // onStop runs on the thread of the object, once per signal received.
    explicit ZStopSignals(std::function<void(int signal)> onStop);
    // Puts the default actions back and closes the pipe.
    ~ZStopSignals() override;

    // False when the pipe or the handlers could not be set up.
    bool active() const { return notifier_ != nullptr; }

private:
    void drain();

    std::function<void(int)> onStop_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace SearchEngine
