#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a normal quit of the event loop, so that a session
// logout or Ctrl+C shuts the program down in order (sources stopped, lock file released).
class VCUnixSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit VCUnixSignalWatcher(QObject *parent = nullptr);
    ~VCUnixSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
