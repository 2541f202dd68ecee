import QtQuick
import QtQuick.Controls

Rectangle {
    id: root

    property bool isActive: false
    property bool isConnected: false
    property bool isStalled: false
    property bool isSilentSoundByLevel: false
    property real avgLevel: 0
    property real avgLevelDb: -Infinity
    // Silent by level counts only while the stream is not stalled.
    readonly property bool isSilent: isSilentSoundByLevel && !isStalled

    function barWidth(innerWidth, level) {
        return level > 0 ? innerWidth * Math.min(level, 1.0) : 0
    }

    function barColor(silent, active) {
        if (silent)
            return "red"
        return active ? "#0064fa" : "gray"
    }

    function levelText(levelDb) {
        return isFinite(levelDb) ? levelDb.toFixed(2) + " " + qsTr("dB") : ""
    }

    border.width: 1
    border.color: "black"
    color: "transparent"

    Rectangle {
        objectName: "levelBar"
        x: 1
        anchors.verticalCenter: parent.verticalCenter
        width: root.barWidth(root.width - 2, root.avgLevel)
        height: root.height - 2
        color: root.barColor(root.isSilent, root.isActive)
    }

    ProgressBar {
        objectName: "connectingBar"
        anchors.fill: parent
        anchors.margins: 1
        indeterminate: true
        visible: !root.isConnected
    }

    Label {
        objectName: "levelLabel"
        anchors.centerIn: parent
        visible: root.isConnected
        text: root.levelText(root.avgLevelDb)
        color: root.isSilent ? "red" : "black"
        font.bold: root.isSilent
    }
}
