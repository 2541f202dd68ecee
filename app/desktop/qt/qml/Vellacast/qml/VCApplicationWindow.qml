pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQml.Models
import Qt.labs.platform as Platform
import Vellacast

ApplicationWindow {
    id: root

    // "main" while the service session is logged in, otherwise "login".
    property alias state: stateGroup.state
    // Set only when the user has confirmed quitting; lets the close go ahead.
    property bool closing: false
    // Started hidden in the tray (by the login autostart entry). The window shows all the same
    // while there is no saved session: nothing goes on air before somebody logs in.
    property bool startMinimized: false
    readonly property string trayTitle: trayTitleText(VCHub.clientUser.stationName,
                                                      VCHub.clientUser.city)
    readonly property string noOutputDeviceText: qsTr("No output device: sound is off")

    // Window title: the application name, then " - ", station and city when a station is known.
    function windowTitle(stationName, city) {
        const name = qsTr("Vellacast")
        return stationName ? name + " - " + stationName + " " + city : name
    }

    // Tray title: station and city when both are known, otherwise the application name.
    function trayTitleText(stationName, city) {
        return stationName && city ? stationName + " " + city : qsTr("Vellacast")
    }

    function userCaption(username) {
        return username ? username : qsTr("Username")
    }

    // What a close request does: "quit" in the login view; in the main view "dialog" (refuse and
    // show the keep-running hint) or "hide" (refuse and hide), unless the user confirmed quitting
    // ("accept").
    function closeAction(windowState, confirmedQuit, showKeepRunningHint) {
        if (windowState === "login")
            return "quit"
        if (confirmedQuit)
            return "accept"
        return showKeepRunningHint ? "dialog" : "hide"
    }

    function bringBack() {
        root.show()
        root.raise()
        root.requestActivate()
    }

    // The dialogs live in the window, so a hidden window comes back with them.
    function openFromTray(dialog) {
        bringBack()
        dialog.open()
    }

    minimumWidth: 640
    minimumHeight: 480
    width: 720
    height: 540
    visible: true
    // The window must carry its title even before the hub has published its client.
    title: windowTitle(VCHub.clientUser.stationName, VCHub.clientUser.city)

    // The window is shown and then hidden at once: the tray takes in the icon of a program that
    // has shown a window.
    Component.onCompleted: {
        if (startMinimized && VCHub.clientUser.sid !== "")
            Qt.callLater(root.hide)
    }

    onActiveChanged: {
        if (active)
            VCHub.autostart.refresh()
    }

    onClosing: close => {
        switch (closeAction(root.state, root.closing, VCHub.showKeepRunningDialog)) {
        case "quit":
            Qt.quit()
            break
        case "dialog":
            close.accepted = false
            keepRunningDialog.open()
            break
        case "hide":
            close.accepted = false
            root.hide()
            break
        }
    }

    StateGroup {
        id: stateGroup

        state: VCHub.clientUser.isLoggedIn ? "main" : "login"
        states: [
            State {
                name: "login"
            },
            State {
                name: "main"
            }
        ]
    }

    VCLoginView {
        id: loginView

        objectName: "loginView"
        anchors.fill: parent
        visible: root.state === "login"
    }

    VCMainView {
        id: mainView

        objectName: "mainView"
        anchors.fill: parent
        visible: root.state === "main"
        onLogoutRequested: logoutDialog.open()
        onSilenceDetectionSettingsRequested: silenceDetectionSettingsDialog.open()
        onAboutRequested: aboutDialog.open()
    }

    Platform.SystemTrayIcon {
        id: trayIcon

        objectName: "trayIcon"
        visible: true
        icon.source: "qrc:/images/vellacast.svg"
        icon.name: root.trayTitle
        // The lost output device stays in sight for as long as it lasts.
        tooltip: VCHub.isOutputDeviceMissing ? root.trayTitle + "\n" + root.noOutputDeviceText
                                             : root.trayTitle
        onActivated: root.bringBack()

        menu: Platform.Menu {
            id: trayMenu

            // The entry shows whether the autostart file is there now.
            onAboutToShow: VCHub.autostart.refresh()

            Platform.MenuItem {
                text: root.trayTitle
                enabled: false
            }

            Platform.MenuItem {
                objectName: "noOutputDeviceMenuItem"
                text: root.noOutputDeviceText
                enabled: false
                visible: VCHub.isOutputDeviceMissing
            }

            Platform.MenuItem {
                objectName: "autostartMenuItem"
                text: qsTr("Start at login")
                checkable: true
                checked: VCHub.autostart.isEnabled
                onTriggered: {
                    VCHub.autostart.isEnabled = checked
                    // A click toggles the mark; the file decides it.
                    checked = Qt.binding(() => VCHub.autostart.isEnabled)
                }
            }

            Platform.Menu {
                id: outputDeviceMenu

                objectName: "outputDeviceMenu"
                title: qsTr("Output device")
                enabled: root.state === "main" && VCHub.outputDevices.length > 0

                Instantiator {
                    model: VCHub.outputDevices
                    onObjectAdded: (index, object) => outputDeviceMenu.insertItem(index, object)
                    onObjectRemoved: (index, object) => outputDeviceMenu.removeItem(object)

                    delegate: Platform.MenuItem {
                        required property int index
                        required property string modelData

                        text: modelData
                        checkable: true
                        checked: index === VCHub.outputDeviceIndex
                        onTriggered: {
                            VCHub.outputDeviceIndex = index
                            // A click toggles the mark; the selected index decides it.
                            checked = Qt.binding(() => index === VCHub.outputDeviceIndex)
                        }
                    }
                }
            }

            Platform.MenuItem {
                objectName: "silenceMenuItem"
                text: qsTr("Silence detection settings")
                enabled: root.state === "main"
                onTriggered: root.openFromTray(silenceDetectionSettingsDialog)
            }

            Platform.MenuSeparator {}

            Platform.MenuItem {
                objectName: "usernameMenuItem"
                text: root.userCaption(VCHub.clientUser.username)
                enabled: false
            }

            Platform.MenuItem {
                objectName: "logoutMenuItem"
                text: qsTr("Logout")
                enabled: root.state === "main"
                onTriggered: root.openFromTray(logoutDialog)
            }

            Platform.MenuSeparator {}

            Platform.MenuItem {
                objectName: "aboutMenuItem"
                text: qsTr("About")
                onTriggered: root.openFromTray(aboutDialog)
            }

            Platform.MenuItem {
                objectName: "closeMenuItem"
                text: qsTr("Close")
                onTriggered: root.openFromTray(quitDialog)
            }
        }
    }

    // The tray says so at once when the sound goes off for lack of an output device.
    Connections {
        target: VCHub

        // Failovers; the warning that nothing can be heard stays until the next message.
        function onNotify(title, message, isWarning) {
            trayIcon.showMessage(title, message, isWarning ? Platform.SystemTrayIcon.Warning
                                                           : Platform.SystemTrayIcon.Information,
                                 isWarning ? 0 : 10000)
        }

        function onIsOutputDeviceMissingChanged(isOutputDeviceMissing) {
            if (isOutputDeviceMissing)
                trayIcon.showMessage(root.trayTitle, root.noOutputDeviceText,
                                     Platform.SystemTrayIcon.Warning, 10000)
        }
    }

    // A saved session that the service refused or ended takes the station off air: the login
    // view shows, also when the program started hidden in the tray.
    Connections {
        target: VCHub.clientUser

        function onSavedSessionEnded() {
            root.bringBack()
        }
    }

    VCConfirmationDialog {
        id: logoutDialog

        objectName: "logoutDialog"
        title: qsTr("Logout")
        informationText: qsTr("Are you sure?")
        onAccepted: VCHub.clientUser.logout()
    }

    VCConfirmationDialog {
        id: quitDialog

        objectName: "quitDialog"
        title: qsTr("Close")
        informationText: qsTr("Are you sure?")
        onAccepted: {
            root.closing = true
            Qt.quit()
        }
    }

    VCKeepRunningDialog {
        id: keepRunningDialog

        objectName: "keepRunningDialog"
        onAccepted: root.hide()
    }

    VCSilenceDetectionSettingsDialog {
        id: silenceDetectionSettingsDialog

        objectName: "silenceDetectionSettingsDialog"
    }

    VCAboutDialog {
        id: aboutDialog

        objectName: "aboutDialog"
    }
}
