#pragma once

#include "klbasstypes.h"

#include <QObject>
#include <QString>

#include <mutex>
#include <vector>

// One notification of the engine about a player's handle.
struct KLEngineNotification
{
    enum class Kind { Stalled, Resumed, End, DeviceFailure, DeviceFormat };

    Kind kind;
    HSTREAM handle; // 0: the current handle, whichever it is
    DWORD data;     // the sync's data (the reason of a device failure)
};

// The engine's notifications of one player: the syncs it sets on a handle (stall and resumption,
// end, device failure, device format change), and the queue that brings what the engine reports
// on its own threads to the owner's thread, in order. The engine knows this object by a serial
// number in a registry, so a sync that comes after detach() finds nothing and is dropped.
class KLEngineSyncs : public QObject
{
    Q_OBJECT

public:
    using Kind = KLEngineNotification::Kind;

    explicit KLEngineSyncs(QObject *parent = nullptr);
    ~KLEngineSyncs() override;

    // Leaves the registry; once this returns, no sync reaches this object any more.
    void detach();
    // Sets the syncs on handle; false with the name of the one that could not be set in *failed.
    bool attach(HSTREAM handle, QString *failed) const;
    // Queues a notification; any thread.
    void post(Kind kind, HSTREAM handle, DWORD data = 0);

signals:
    // On the owner's thread, once per queued notification.
    void notified(const KLEngineNotification &notification);

private:
    Q_INVOKABLE void deliver();

    static void postTo(void *user, Kind kind, DWORD channel, DWORD data = 0);
    static void stallSync(HSYNC handle, DWORD channel, DWORD data, void *user);
    static void endSync(HSYNC handle, DWORD channel, DWORD data, void *user);
    static void deviceFailureSync(HSYNC handle, DWORD channel, DWORD data, void *user);
    static void deviceFormatSync(HSYNC handle, DWORD channel, DWORD data, void *user);

    quintptr m_serial = 0;
    std::mutex m_mutex;
    std::vector<KLEngineNotification> m_queued;
};
