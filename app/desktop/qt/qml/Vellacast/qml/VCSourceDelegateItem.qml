import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellacast

Item {
    id: root

    required property int index
    required property var model
    required property url streamUrl
    required property bool isRecordDevice
    required property bool isActive
    required property double activityDurationMs
    required property bool isConnected
    required property double connectionDurationMs
    required property bool isSilentSound
    required property double soundDurationMs
    required property bool isStalled
    required property bool isSilentSoundByLevel
    required property double avgLevel
    required property double avgLevelDb
    required property double loudnessLufs
    required property double volumeLevel
    required property bool isHeldBack
    required property double heldBackRemainingMs

    // Asks the view to confirm deleting this row.
    signal deleteRequested(int sourceIndex)

    // The address as shown: without user name and password and without the at-sign between them
    // and the host. Nothing for an empty or unparsable address.
    function displayAddress(address) {
        const text = String(address)
        if (text.length === 0)
            return ""
        let url
        try {
            url = new URL(text)
        } catch (error) {
            return ""
        }
        url.username = ""
        url.password = ""
        return url.toString().replace("://@", "://")
    }

    // Position of the recording device whose address equals the given one, or -1.
    function recordDeviceIndex(devices, address) {
        let wanted = String(address)
        try {
            wanted = decodeURIComponent(wanted)
        } catch (error) {
            // A malformed escape: compare the address as it is.
        }
        for (let i = 0; i < devices.length; ++i) {
            if (devices[i].streamUrl === wanted)
                return i
        }
        return -1
    }

    function selectRecordDevice() {
        const found = recordDeviceIndex(VCHub.recordDevices, root.streamUrl)
        if (found >= 0)
            recordDeviceComboBox.currentIndex = found
    }

    // Writes the box's value back through the list model. Called after the box's own update has
    // ended, so that a rounded or limited value does not re-enter the binding that set it.
    function storeVolume() {
        const level = volumeSpinBox.value / 100
        if (root.volumeLevel !== level)
            root.model.volumeLevel = level
    }

    height: 100
    onStreamUrlChanged: selectRecordDevice()

    Connections {
        target: VCHub

        function onRecordDevicesChanged() {
            root.selectRecordDevice()
        }
    }

    ColumnLayout {
        anchors.left: parent.left
        anchors.leftMargin: 15
        anchors.right: actionButtons.left
        anchors.rightMargin: 10
        anchors.verticalCenter: parent.verticalCenter
        spacing: 4

        Item {
            Layout.fillWidth: true
            Layout.preferredHeight: Math.max(addressField.implicitHeight, restartButton.height)

            TextField {
                id: addressField

                objectName: "addressField"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                visible: !root.isRecordDevice
                readOnly: true
                text: root.displayAddress(root.streamUrl)
                // Show the beginning of a long address.
                onTextChanged: cursorPosition = 0
            }

            ComboBox {
                id: recordDeviceComboBox

                objectName: "recordDeviceComboBox"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                visible: root.isRecordDevice
                model: VCHub.recordDevices
                textRole: "name"
                valueRole: "streamUrl"
                onCountChanged: root.selectRecordDevice()
                onActivated: index => VCHub.play(root.index, valueAt(index))
                Component.onCompleted: root.selectRecordDevice()
            }
        }

        // A source that lost its connection and plays again waits before it may be heard; it
        // tells how long, counted down in whole seconds so that it never shows 0 while it waits.
        VCIndicator {
            readonly property bool isWaiting: !root.isActive && root.isHeldBack && root.isConnected

            objectName: "playingIndicator"
            Layout.fillWidth: true
            text: isWaiting ? qsTr("Back in %1").arg(formatDuration(
                                                         Math.ceil(root.heldBackRemainingMs / 1000) * 1000))
                            : (root.isActive ? qsTr("Playing") : qsTr("Not playing")) + " "
                              + formatDuration(root.activityDurationMs)
            isActive: root.isActive
            inactiveColor: isWaiting ? "#e08000" : "gray"
        }

        VCIndicator {
            objectName: "connectionIndicator"
            Layout.fillWidth: true
            text: (root.isConnected ? qsTr("Conected") : qsTr("Disconnected")) + " "
                  + formatDuration(root.connectionDurationMs)
            isActive: root.isConnected
            inactiveColor: "red"
        }

        VCIndicator {
            objectName: "soundIndicator"
            Layout.fillWidth: true
            text: (root.isSilentSound ? qsTr("Silent") : qsTr("Sound")) + " "
                  + formatDuration(root.soundDurationMs)
            isActive: !root.isSilentSound
            inactiveColor: "red"
        }
    }

    Column {
        id: actionButtons

        anchors.right: volumePart.left
        anchors.rightMargin: 10
        anchors.verticalCenter: parent.verticalCenter
        spacing: 20

        RoundButton {
            id: restartButton

            objectName: "restartButton"
            width: 40
            height: 40
            text: "\u23F5"
            onClicked: {
                forceActiveFocus()
                VCHub.restart(root.index)
            }
        }

        RoundButton {
            objectName: "deleteButton"
            width: 40
            height: 40
            text: "\u232B"
            palette.button: "#fce1e4"
            enabled: root.isRecordDevice
            onClicked: root.deleteRequested(root.index)
        }
    }

    Item {
        id: volumePart

        anchors.right: reorderButtons.left
        anchors.rightMargin: 10
        width: volumeSpinBox.width
        height: parent.height

        VCLevelIndicatorItem {
            objectName: "levelIndicator"
            anchors.top: parent.top
            width: parent.width
            height: 30
            isActive: root.isActive
            isConnected: root.isConnected
            isStalled: root.isStalled
            isSilentSoundByLevel: root.isSilentSoundByLevel
            avgLevel: root.avgLevel
            avgLevelDb: root.avgLevelDb
            loudnessLufs: root.loudnessLufs
        }

        Column {
            anchors.bottom: parent.bottom
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 4

            Label {
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Volume level %")
                color: "gray"
            }

            SpinBox {
                id: volumeSpinBox

                objectName: "volumeSpinBox"
                from: 0
                to: 200
                editable: true
                value: Math.round(root.volumeLevel * 100)
                onValueChanged: Qt.callLater(root.storeVolume)
                // A stored level outside the box's range or finer than a percent is replaced
                // by what the box shows as soon as the row exists.
                Component.onCompleted: Qt.callLater(root.storeVolume)
            }
        }
    }

    Column {
        id: reorderButtons

        anchors.right: parent.right
        anchors.rightMargin: 15
        anchors.verticalCenter: parent.verticalCenter
        spacing: 20

        RoundButton {
            objectName: "upButton"
            width: 40
            height: 40
            text: "\u2191"
            enabled: root.index > 0
            onClicked: VCHub.moveSource(root.index, root.index - 1)
        }

        RoundButton {
            objectName: "downButton"
            width: 40
            height: 40
            text: "\u2193"
            enabled: root.index < VCHub.sources.count - 1
            onClicked: VCHub.moveSource(root.index, root.index + 1)
        }
    }
}
