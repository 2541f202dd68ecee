import QtQuick
import QtQuick.Controls
import Vellacast

ApplicationWindow {
    id: root

    // Window title: the application name, then " - ", station and city when a station is known.
    function windowTitle(stationName, city) {
        const name = qsTr("Vellacast")
        return stationName ? name + " - " + stationName + " " + city : name
    }

    readonly property var clientUser: VCHub.clientUser === undefined ? null : VCHub.clientUser
    property bool closing: false

    minimumWidth: 640
    minimumHeight: 480
    width: 720
    height: 540
    visible: true
    title: windowTitle(clientUser ? clientUser.stationName : "", clientUser ? clientUser.city : "")
}
