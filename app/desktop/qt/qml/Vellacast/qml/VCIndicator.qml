import QtQuick
import QtQuick.Controls

Item {
    id: root

    property string text
    property bool isActive: false
    property color activeColor: "green"
    property color inactiveColor: "red"

    // A duration as "[Nd ]Nh Nmin Nsec"; the sign is dropped.
    function formatDuration(ms) {
        const total = Math.abs(ms)
        const days = Math.floor(total / 86400000)
        const hours = Math.floor(total / 3600000) % 24
        const minutes = Math.floor(total / 60000) % 60
        const seconds = Math.floor(total / 1000) % 60
        const dayText = days !== 0 ? days + qsTr("d") + " " : ""
        return dayText + hours + qsTr("h") + " " + minutes + qsTr("min") + " " + seconds + qsTr("sec")
    }

    width: parent ? parent.width : implicitWidth
    implicitWidth: lamp.width + 4 + label.implicitWidth
    implicitHeight: Math.max(lamp.height, label.implicitHeight)

    Rectangle {
        id: lamp

        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        width: 12
        height: 12
        radius: 6
        color: root.isActive ? root.activeColor : root.inactiveColor
    }

    Label {
        id: label

        anchors.left: lamp.right
        anchors.leftMargin: 4
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        text: root.text
        clip: true
        elide: Text.ElideRight
    }
}
