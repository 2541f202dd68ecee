// Registers the QML module "Vellacast" when the program is loaded, before main() runs.

#include "vcdesktophub.h"

#include <QtQml/qqml.h>
#include <QtQml/qqmlmoduleregistration.h>

namespace {

void registerVellacastModule()
{
    qmlRegisterModule("Vellacast", 1, 0);
    qmlRegisterSingletonType<VCDesktopHub>(
        "Vellacast", 1, 0, "VCHub",
        [](QQmlEngine *, QJSEngine *) -> QObject * { return new VCDesktopHub(nullptr); });
    // A module registered here takes no singletons from its qmldir file, so the documents' own
    // singleton is registered here too.
    qmlRegisterSingletonType(QUrl(QStringLiteral("qrc:/qt/qml/Vellacast/qml/VCMeterClock.qml")),
                             "Vellacast", 1, 0, "VCMeterClock");
    qmlRegisterModule("Vellacast", 1, 1);
}

const QQmlModuleRegistration vellacastRegistration("Vellacast", registerVellacastModule);

} // namespace
