#include "ControlBus/ControlService.h"

#include "ControlAdaptor.h"
#include "ControlBus/ControlBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <cstdlib>

namespace overlook::control {

namespace {
constexpr int kCallTimeoutMs = 10000;
}

ControlService::ControlService(QObject* parent) : QObject(parent) {
    new ControlAdaptor(this); // owned by this object
}

ControlService::Claim ControlService::claim(QString* error) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        QString why = bus.lastError().isValid() ? bus.lastError().message() : QString("not connected");
        if (!address || !*address)
            why = "DBUS_SESSION_BUS_ADDRESS is not set";
        if (error)
            *error = why;
        return Claim::NoBus;
    }
    // The object first: a caller who sees the name owned finds it there.
    if (!bus.registerObject(kObjectPath, this)) {
        if (error)
            *error = "cannot export " + QString(kObjectPath) + ": " + bus.lastError().message();
        return Claim::NoBus;
    }
    const auto reply = bus.interface()->registerService(kBusName, QDBusConnectionInterface::DontQueueService,
                                                        QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        bus.unregisterObject(kObjectPath);
        if (error)
            *error = "cannot ask for the name " + QString(kBusName) + ": " + reply.error().message();
        return Claim::NoBus;
    }
    if (reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return Claim::Owned;
    bus.unregisterObject(kObjectPath);
    return Claim::AnotherInstance;
}

bool ControlService::showPopoverOfRunningInstance(QString* error) {
    QDBusMessage call = QDBusMessage::createMethodCall(kBusName, kObjectPath, kInterface, "ShowPopover");
    // Only the instance that is running: it might be gone by now, and starting
    // another through the bus is what this process is doing already.
    call.setAutoStartService(false);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    if (error)
        *error = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return false;
}

} // namespace overlook::control
