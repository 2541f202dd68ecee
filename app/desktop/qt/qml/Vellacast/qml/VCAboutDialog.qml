import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellacast

Dialog {
    id: root

    readonly property var languages: ["system", "ru", "en"]

    // Stored after the box's own update has ended, so that a limited value does not re-enter
    // the binding that set it.
    function storeLogsStoreDays() {
        if (VCHub.logsStoreDays !== logsStoreDaysSpinBox.value)
            VCHub.logsStoreDays = logsStoreDaysSpinBox.value
    }

    x: (parent.width - width) / 2
    y: (parent.height - height) / 2
    modal: true
    title: qsTr("About")
    standardButtons: Dialog.Ok

    ColumnLayout {
        spacing: 12

        Image {
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 100
            Layout.preferredHeight: 100
            source: "qrc:/images/vellacast.svg"
            sourceSize.width: 100
            sourceSize.height: 100
            fillMode: Image.PreserveAspectFit
        }

        Label {
            Layout.alignment: Qt.AlignHCenter
            text: qsTr("Vellacast") + " v" + Qt.application.version
            font.pixelSize: 16
            font.bold: true
        }

        VCNewVersionLink {
            Layout.alignment: Qt.AlignHCenter
        }

        Label {
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 340
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            text: qsTr("Application for organizing backup Internet broadcasting of radio stations of the Aurora Bay media group.")
        }

        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 10

            Label {
                text: qsTr("Logs storage period (days)")
            }

            SpinBox {
                id: logsStoreDaysSpinBox

                objectName: "logsStoreDaysSpinBox"
                from: 0
                to: 365
                editable: true
                value: VCHub.logsStoreDays
                onValueChanged: Qt.callLater(root.storeLogsStoreDays)
            }
        }

        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 10

            Label {
                text: qsTr("Language")
            }

            ComboBox {
                objectName: "languageComboBox"
                model: root.languages
                onActivated: index => VCHub.language = root.languages[index]
                // The stored choice is shown once; a value outside the list leaves no selection.
                Component.onCompleted: currentIndex = root.languages.indexOf(VCHub.language)
            }
        }

        Label {
            Layout.preferredHeight: 28
            verticalAlignment: Text.AlignVCenter
            font.pixelSize: 14
            textFormat: Text.RichText
            text: qsTr("Developed by order of:")
                  + " <a href=\"https://aurorabay.example.org\">Aurora Bay Media Group</a>"
            onLinkActivated: link => Qt.openUrlExternally(link)
        }

        Label {
            Layout.preferredHeight: 28
            verticalAlignment: Text.AlignVCenter
            font.pixelSize: 14
            textFormat: Text.RichText
            text: qsTr("Developer:")
                  + " <a href=\"https://lindqvist.example.org\">Lindqvist Code Works</a>"
            onLinkActivated: link => Qt.openUrlExternally(link)
        }
    }
}
