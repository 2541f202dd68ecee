import QtQuick
import QtQuick.Controls
import Vellacast

Item {
    id: root

    // The message that stops a login with these texts, or an empty text when it may go ahead.
    // An empty password is fine while a saved session exists: the client re-confirms it.
    function loginCheckMessage(username, password, sid) {
        if (username.length === 0)
            return qsTr("Username required")
        if (password.length === 0 && sid.length === 0)
            return qsTr("Password required")
        return ""
    }

    function startLogin() {
        loginButton.forceActiveFocus()
        const message = loginCheckMessage(usernameField.text, passwordField.text,
                                          VCHub.clientUser.sid)
        if (message) {
            showMessage(message)
            if (usernameField.text.length === 0)
                usernameField.forceActiveFocus()
            else
                passwordField.forceActiveFocus()
            return
        }
        VCHub.clientUser.login(usernameField.text, passwordField.text)
    }

    function showMessage(message) {
        messageToolTip.show(message, 3000)
    }

    // The message floats above the window; it goes with the view.
    onVisibleChanged: {
        if (!visible)
            messageToolTip.close()
    }

    Component.onCompleted: {
        if (VCHub.clientUser.username.length === 0)
            usernameField.forceActiveFocus()
        else
            passwordField.forceActiveFocus()
    }

    Connections {
        target: VCHub.clientUser

        function onAuthError() {
            root.showMessage(qsTr("Authentication error"))
        }
    }

    Column {
        anchors.centerIn: parent
        width: 240

        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 100
            height: 120
            source: "qrc:/images/vellacast.svg"
            sourceSize.width: 100
            fillMode: Image.PreserveAspectFit
        }

        BusyIndicator {
            objectName: "busyIndicator"
            anchors.horizontalCenter: parent.horizontalCenter
            height: loginForm.height
            visible: VCHub.clientUser.isProcessingPlayerRequest
            running: visible
        }

        Column {
            id: loginForm

            objectName: "loginForm"
            width: parent.width
            spacing: 4
            visible: !VCHub.clientUser.isProcessingPlayerRequest

            Label {
                text: qsTr("Username")
                font.pixelSize: 14
            }

            TextField {
                id: usernameField

                objectName: "usernameField"
                width: parent.width
                text: VCHub.clientUser.username
                onTextEdited: VCHub.clientUser.username = text
                onAccepted: root.startLogin()
            }

            Label {
                text: qsTr("Password")
                font.pixelSize: 14
            }

            TextField {
                id: passwordField

                objectName: "passwordField"
                width: parent.width
                echoMode: TextInput.Password
                onAccepted: root.startLogin()
            }

            Item {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 10
                height: 32

                ToolTip {
                    id: messageToolTip

                    objectName: "messageToolTip"
                    x: (parent.width - width) / 2
                    y: (parent.height - height) / 2

                    contentItem: Text {
                        text: messageToolTip.text
                        color: "red"
                        textFormat: Text.PlainText
                    }

                    background: Item {}
                }
            }

            Button {
                id: loginButton

                objectName: "loginButton"
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Login")
                onClicked: root.startLogin()
            }
        }
    }

    Column {
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 10
        spacing: 8

        VCNewVersionLink {
            anchors.right: parent.right
        }

        Label {
            objectName: "versionLabel"
            anchors.right: parent.right
            text: "v" + Qt.application.version
            color: "gray"
        }
    }
}
