import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellacast

Dialog {
    id: root

    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    title: qsTr("Silence detection settings")
    standardButtons: Dialog.Ok
    padding: 20

    // Every change of a box is stored in the hub. The write waits for the box's own update to
    // end, so that a rounded or limited value does not re-enter the binding that set it.
    function storeLevel() {
        const levelDb = levelSpinBox.value / 100
        if (VCHub.silenceDetectionLevelDb !== levelDb)
            VCHub.silenceDetectionLevelDb = levelDb
    }

    function storeStart() {
        if (VCHub.silenceDetectionStartMs !== startSpinBox.value)
            VCHub.silenceDetectionStartMs = startSpinBox.value
    }

    function storeEnd() {
        if (VCHub.silenceDetectionEndMs !== endSpinBox.value)
            VCHub.silenceDetectionEndMs = endSpinBox.value
    }

    function storeFailbackHold() {
        if (VCHub.failbackHoldMs !== failbackHoldSpinBox.value)
            VCHub.failbackHoldMs = failbackHoldSpinBox.value
    }

    function storeLoudnessTarget() {
        if (VCHub.loudnessTargetLufs !== loudnessTargetSpinBox.value)
            VCHub.loudnessTargetLufs = loudnessTargetSpinBox.value
    }

    ColumnLayout {
        spacing: 10

        VCSilenceDetectionSettingsSpinBox {
            id: levelSpinBox

            objectName: "levelSpinBox"
            text: qsTr("Silence detection level (decibels)")
            from: -10000
            to: 0
            stepSize: 100
            valueMultiplier: 100
            value: Math.round(VCHub.silenceDetectionLevelDb * 100)
            onValueChanged: Qt.callLater(root.storeLevel)
        }

        VCSilenceDetectionSettingsSpinBox {
            id: startSpinBox

            objectName: "startSpinBox"
            text: qsTr("The duration of silence for detection (seconds)")
            from: 100
            to: 1800000
            stepSize: 1000
            valueMultiplier: 1000
            value: VCHub.silenceDetectionStartMs
            onValueChanged: Qt.callLater(root.storeStart)
        }

        VCSilenceDetectionSettingsSpinBox {
            id: endSpinBox

            objectName: "endSpinBox"
            text: qsTr("The duration of sound for detection (seconds)")
            from: 100
            to: 1800000
            stepSize: 1000
            valueMultiplier: 1000
            value: VCHub.silenceDetectionEndMs
            onValueChanged: Qt.callLater(root.storeEnd)
        }

        // How long a source that lost its connection must play before it is heard again; 0 lets
        // it back at once.
        VCSilenceDetectionSettingsSpinBox {
            id: failbackHoldSpinBox

            objectName: "failbackHoldSpinBox"
            text: qsTr("Hold back a source after a connection loss (seconds)")
            from: 0
            to: VCHub.failbackHoldMaxMs
            stepSize: 1000
            valueMultiplier: 1000
            value: VCHub.failbackHoldMs
            onValueChanged: Qt.callLater(root.storeFailbackHold)
        }

        // A failover (or no source to hear at all) is told through the tray.
        CheckBox {
            objectName: "failoverNotificationsCheckBox"
            text: qsTr("Show failover notifications")
            checked: VCHub.failoverNotifications
            onToggled: VCHub.failoverNotifications = checked
        }

        // Every source is brought to one loudness, so that a switch does not jump in loudness.
        CheckBox {
            objectName: "loudnessMatchCheckBox"
            text: qsTr("Match loudness")
            checked: VCHub.loudnessMatch
            onToggled: VCHub.loudnessMatch = checked
        }

        VCSilenceDetectionSettingsSpinBox {
            id: loudnessTargetSpinBox

            objectName: "loudnessTargetSpinBox"
            text: qsTr("Loudness of every source (LUFS)")
            enabled: VCHub.loudnessMatch
            from: -40
            to: -10
            stepSize: 1
            decimals: 0
            valueMultiplier: 1
            value: Math.round(VCHub.loudnessTargetLufs)
            onValueChanged: Qt.callLater(root.storeLoudnessTarget)
        }
    }
}
