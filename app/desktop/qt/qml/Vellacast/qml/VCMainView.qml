import QtQuick
import QtQuick.Controls
import Vellacast

Item {
    id: root

    // Row that the delete confirmation acts on.
    property int deleteSourceIndex: 0
    // Hidden to the tray or minimised, nobody sees the sources: the list then lets go of its
    // rows, so that their texts and meters cost nothing, and makes them again when shown.
    readonly property bool isSeen: Window.visibility !== Window.Hidden
                                   && Window.visibility !== Window.Minimized

    // The window owns these dialogs; the view only asks for them.
    signal logoutRequested
    signal silenceDetectionSettingsRequested
    signal aboutRequested

    Rectangle {
        id: leftColumn

        width: 200
        height: parent.height
        color: "#f5f5f5"

        Item {
            id: logoArea

            anchors.top: parent.top
            anchors.topMargin: 10
            anchors.horizontalCenter: parent.horizontalCenter
            width: 100
            height: 100

            Image {
                objectName: "appLogo"
                anchors.fill: parent
                source: "qrc:/images/vellacast.svg"
                sourceSize.width: 100
                sourceSize.height: 100
                fillMode: Image.PreserveAspectFit
                opacity: stationLogo.status === Image.Ready ? 0 : 1

                Behavior on opacity {
                    NumberAnimation {
                        duration: 500
                    }
                }
            }

            Image {
                id: stationLogo

                objectName: "stationLogo"
                anchors.fill: parent
                source: VCHub.clientUser.stationLogoUrl
                fillMode: Image.PreserveAspectFit
                asynchronous: true
                opacity: status === Image.Ready ? 1 : 0

                Behavior on opacity {
                    NumberAnimation {
                        duration: 500
                    }
                }
            }
        }

        Column {
            anchors.top: logoArea.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: 10
            spacing: 2

            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                font.bold: true
                text: qsTr("Station")
            }

            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                text: VCHub.clientUser.stationName
            }

            Item {
                width: 1
                height: 8
            }

            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                font.bold: true
                text: qsTr("City")
            }

            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                text: VCHub.clientUser.city
            }

            Item {
                width: 1
                height: 8
            }

            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                font.bold: true
                text: qsTr("Username")
            }

            Label {
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                elide: Text.ElideRight
                text: VCHub.clientUser.username
            }

            Item {
                width: 1
                height: 8
            }

            Button {
                objectName: "logoutButton"
                width: parent.width
                text: qsTr("Logout")
                palette.button: "#fce1e4"
                onClicked: root.logoutRequested()
            }
        }

        Column {
            anchors.bottom: parent.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.margins: 10
            spacing: 4

            VCNewVersionLink {
                width: parent.width
                height: 24
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }

            CheckBox {
                objectName: "autostartCheckBox"
                width: parent.width
                text: qsTr("Start at login")
                checked: VCHub.autostart.isEnabled
                onToggled: {
                    VCHub.autostart.isEnabled = checked
                    // The file decides the mark.
                    checked = Qt.binding(() => VCHub.autostart.isEnabled)
                }
            }

            Button {
                objectName: "addRecordSourceButton"
                width: parent.width
                text: qsTr("Add recording source")
                palette.button: "#ddedea"
                onClicked: VCHub.addNewRecordSource()
            }

            Button {
                objectName: "silenceSettingsButton"
                width: parent.width
                text: qsTr("Silence detection settings")
                onClicked: root.silenceDetectionSettingsRequested()
            }

            Button {
                objectName: "aboutButton"
                width: parent.width
                text: qsTr("About")
                onClicked: root.aboutRequested()
            }
        }
    }

    ListView {
        id: sourceList

        objectName: "sourceList"
        anchors.left: leftColumn.right
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        // Where the list was scrolled when it let go of its rows.
        property real keptContentY: 0

        model: root.isSeen ? VCHub.sources : null
        spacing: 20
        clip: true
        boundsBehavior: Flickable.StopAtBounds

        ScrollBar.vertical: ScrollBar {}

        onContentYChanged: {
            if (root.isSeen && model)
                keptContentY = contentY
        }
        onModelChanged: {
            if (model)
                Qt.callLater(() => contentY = keptContentY)
        }

        // This document stays without "pragma ComponentBehavior: Bound": Qt 6.4's ListView
        // creates its header and footer in a context of their own, and a bound component
        // refuses that ("Cannot instantiate bound component outside its creation context"), so
        // the list would have no header. The delegate reads its row through required
        // properties all the same.
        header: VCMainViewHeaderItem {
            width: ListView.view.width
        }

        delegate: VCSourceDelegateItem {
            width: ListView.view.width
            onDeleteRequested: sourceIndex => {
                root.deleteSourceIndex = sourceIndex
                deleteDialog.open()
            }
        }

        footer: Item {
            width: ListView.view.width
            height: 15
        }
    }

    VCConfirmationDialog {
        id: deleteDialog

        objectName: "deleteDialog"
        title: qsTr("Delete source")
        informationText: qsTr("Are you sure?")
        onAccepted: VCHub.deleteSource(root.deleteSourceIndex)
    }
}
