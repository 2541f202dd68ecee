#pragma once

#include <QString>

// A private sound server for tests (pulse-daemon.sh): a null output "vsink" with its monitor
// and a null input "vmic", with its state in a directory of the test. Tests skip when it cannot
// start here.
class TestSoundServer
{
public:
    explicit TestSoundServer(const QString &directory);
    // Stops the server if it was started.
    ~TestSoundServer();

    TestSoundServer(const TestSoundServer &) = delete;
    TestSoundServer &operator=(const TestSoundServer &) = delete;

    // Starts the server and points PULSE_SERVER at it; false with the reason in *error.
    bool start(QString *error);
    // The server's address ("unix:DIR/native"); empty before it has started.
    QString address() const { return m_address; }
    void stop();

private:
    QString m_directory;
    QString m_address;
    bool m_tried = false;
};
