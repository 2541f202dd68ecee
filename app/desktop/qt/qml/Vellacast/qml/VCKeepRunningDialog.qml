import QtQuick
import QtQuick.Controls
import Vellacast

Dialog {
    id: root

    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    title: qsTr("Information")
    standardButtons: Dialog.Ok

    Column {
        spacing: 12

        Label {
            text: qsTr("Vellacast will keep running in background")
        }

        CheckBox {
            objectName: "doNotShowAgainCheckBox"
            text: qsTr("Do not show again")
            checked: !VCHub.showKeepRunningDialog
            onToggled: VCHub.showKeepRunningDialog = !checked
        }
    }
}
