import QtQuick
import QtQuick.Controls

Dialog {
    id: root

    property string informationText

    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    standardButtons: Dialog.Yes | Dialog.No

    // The program loads only its own translation, which therefore carries the button texts.
    Component.onCompleted: {
        standardButton(Dialog.Yes).text = qsTr("Yes")
        standardButton(Dialog.No).text = qsTr("No")
    }

    Label {
        text: root.informationText
    }
}
