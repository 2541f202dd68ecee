import QtQuick
import QtQuick.Controls
import Vellacast

Column {
    id: root

    topPadding: 10
    bottomPadding: 10
    spacing: 10

    Item {
        width: root.width
        height: Math.max(outputDeviceLabel.implicitHeight, outputDeviceComboBox.implicitHeight)

        Label {
            id: outputDeviceLabel

            anchors.left: parent.left
            anchors.leftMargin: 15
            anchors.verticalCenter: parent.verticalCenter
            text: qsTr("Output device")
        }

        ComboBox {
            id: outputDeviceComboBox

            objectName: "outputDeviceComboBox"
            anchors.left: outputDeviceLabel.right
            anchors.leftMargin: 20
            anchors.right: parent.right
            anchors.rightMargin: 15
            anchors.verticalCenter: parent.verticalCenter
            model: VCHub.outputDevices
            currentIndex: VCHub.outputDeviceIndex
            onActivated: index => VCHub.outputDeviceIndex = index
        }
    }

    Label {
        width: root.width
        horizontalAlignment: Text.AlignHCenter
        font.bold: true
        text: qsTr("Sources")
    }
}
