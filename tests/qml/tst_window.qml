import QtQuick
import QtTest
import Vellacast

TestCase {
    id: testCase

    name: "ApplicationWindow"
    when: windowShown

    Component {
        id: windowComponent

        VCApplicationWindow {}
    }

    function init() {
        VCHub.reset()
    }

    function createWindow() {
        const window = createTemporaryObject(windowComponent, testCase)
        verify(window)
        return window
    }

    function test_titles_data() {
        return [
            { tag: "no station", station: "", city: "", window: "Vellacast", tray: "Vellacast" },
            { tag: "station and city",
              station: "Radio One", city: "Oslo", window: "Vellacast - Radio One Oslo", tray: "Radio One Oslo" },
            { tag: "station without city",
              station: "Radio One", city: "", window: "Vellacast - Radio One ", tray: "Vellacast" },
            { tag: "city without station",
              station: "", city: "Oslo", window: "Vellacast", tray: "Vellacast" }
        ]
    }

    function test_titles(data) {
        const window = createWindow()
        VCHub.clientUser.stationName = data.station
        VCHub.clientUser.city = data.city
        compare(window.title, data.window)
        compare(window.trayTitle, data.tray)
        const trayIcon = findChild(window, "trayIcon")
        compare(trayIcon.tooltip, data.tray)
        compare(trayIcon.icon.name, data.tray)
    }

    function test_trayShowsMissingOutputDevice() {
        const window = createWindow()
        const trayIcon = findChild(window, "trayIcon")
        const caption = findChild(window, "noOutputDeviceMenuItem")
        verify(!caption.visible)
        VCHub.isOutputDeviceMissing = true
        verify(caption.visible)
        verify(!caption.enabled)
        compare(caption.text, "No output device: sound is off")
        compare(trayIcon.tooltip, "Vellacast\nNo output device: sound is off")
        VCHub.isOutputDeviceMissing = false
        verify(!caption.visible)
        compare(trayIcon.tooltip, "Vellacast")
    }

    function test_closeAction_data() {
        return [
            { tag: "login view quits", state: "login", closing: false, hint: true, action: "quit" },
            { tag: "main view with the hint",
              state: "main", closing: false, hint: true, action: "dialog" },
            { tag: "main view without the hint",
              state: "main", closing: false, hint: false, action: "hide" },
            { tag: "confirmed quit", state: "main", closing: true, hint: true, action: "accept" }
        ]
    }

    function test_closeAction(data) {
        const window = createWindow()
        compare(window.closeAction(data.state, data.closing, data.hint), data.action)
    }

    function test_stateFollowsLogin() {
        const window = createWindow()
        const loginView = findChild(window, "loginView")
        const mainView = findChild(window, "mainView")
        compare(window.state, "login")
        verify(loginView.visible)
        verify(!mainView.visible)
        VCHub.clientUser.isLoggedIn = true
        compare(window.state, "main")
        verify(!loginView.visible)
        verify(mainView.visible)
        VCHub.clientUser.isLoggedIn = false
        compare(window.state, "login")
    }

    function test_savedSessionEndShowsLogin() {
        VCHub.clientUser.sid = "saved"
        const window = createTemporaryObject(windowComponent, testCase, { startMinimized: true })
        tryCompare(window, "visible", false)
        VCHub.clientUser.savedSessionEnded()
        verify(window.visible)
        compare(window.state, "login")
    }

    function test_closeInMainView() {
        const window = createWindow()
        const keepRunningDialog = findChild(window, "keepRunningDialog")
        VCHub.clientUser.isLoggedIn = true

        // With the hint: the close is refused and the dialog opens; dismissing it keeps the
        // window, only OK hides it.
        window.close()
        verify(window.visible)
        tryCompare(keepRunningDialog, "opened", true)
        keepRunningDialog.reject()
        tryCompare(keepRunningDialog, "visible", false)
        verify(window.visible)
        window.close()
        tryCompare(keepRunningDialog, "opened", true)
        keepRunningDialog.accept()
        verify(!window.visible)

        // The tray brings it back.
        findChild(window, "trayIcon").activated(0)
        verify(window.visible)

        // Without the hint the window hides at once.
        VCHub.showKeepRunningDialog = false
        window.close()
        verify(!window.visible)
        verify(!keepRunningDialog.visible)
    }

    function test_logoutConfirmation() {
        const window = createWindow()
        VCHub.clientUser.isLoggedIn = true
        const logoutDialog = findChild(window, "logoutDialog")
        compare(logoutDialog.title, "Logout")
        compare(logoutDialog.informationText, "Are you sure?")
        logoutDialog.open()
        logoutDialog.reject()
        compare(VCHub.callsNamed("logout").length, 0)
        logoutDialog.open()
        logoutDialog.accept()
        compare(VCHub.callsNamed("logout").length, 1)
        compare(findChild(window, "quitDialog").title, "Close")
    }

    function test_trayMenuEnabled() {
        const window = createWindow()
        const names = ["outputDeviceMenu", "silenceMenuItem", "logoutMenuItem"]
        for (const name of names)
            verify(!findChild(window, name).enabled, name + " enabled in the login view")
        verify(findChild(window, "aboutMenuItem").enabled)
        verify(findChild(window, "closeMenuItem").enabled)
        VCHub.clientUser.isLoggedIn = true
        for (const name of names)
            verify(findChild(window, name).enabled, name + " disabled in the main view")
        VCHub.outputDevices = []
        verify(!findChild(window, "outputDeviceMenu").enabled)
    }

    function test_trayMenuOpensDialogs_data() {
        return [
            { tag: "silence detection settings", item: "silenceMenuItem",
              dialog: "silenceDetectionSettingsDialog" },
            { tag: "logout", item: "logoutMenuItem", dialog: "logoutDialog" },
            { tag: "about", item: "aboutMenuItem", dialog: "aboutDialog" },
            { tag: "close", item: "closeMenuItem", dialog: "quitDialog" }
        ]
    }

    function test_trayMenuOpensDialogs(data) {
        const window = createWindow()
        VCHub.clientUser.isLoggedIn = true
        const dialog = findChild(window, data.dialog)
        verify(!dialog.visible)
        // From the tray the window is usually hidden; it comes back with the dialog.
        window.hide()
        findChild(window, data.item).triggered()
        verify(window.visible)
        tryCompare(dialog, "opened", true)
    }

    function test_mainViewOpensDialogs_data() {
        return [
            { tag: "logout", request: "logoutRequested", dialog: "logoutDialog" },
            { tag: "silence detection settings", request: "silenceDetectionSettingsRequested",
              dialog: "silenceDetectionSettingsDialog" },
            { tag: "about", request: "aboutRequested", dialog: "aboutDialog" }
        ]
    }

    function test_mainViewOpensDialogs(data) {
        const window = createWindow()
        VCHub.clientUser.isLoggedIn = true
        findChild(window, "mainView")[data.request]()
        tryCompare(findChild(window, data.dialog), "opened", true)
    }

    function test_trayUserCaption() {
        const window = createWindow()
        const caption = findChild(window, "usernameMenuItem")
        compare(caption.text, "Username")
        verify(!caption.enabled)
        VCHub.clientUser.username = "demo"
        compare(caption.text, "demo")
    }

    function menuEntries(menu, name) {
        const entries = []
        for (let i = 0; i < menu.items.length; ++i)
            entries.push(menu.items[i][name])
        return entries
    }

    function test_outputDeviceMenuFollowsList() {
        const window = createWindow()
        VCHub.clientUser.isLoggedIn = true
        const menu = findChild(window, "outputDeviceMenu")
        VCHub.outputDevices = ["Default device", "Speakers", "Headphones"]
        VCHub.outputDeviceIndex = 2
        compare(menu.items.length, 3)
        compare(menuEntries(menu, "text"), VCHub.outputDevices)
        compare(menuEntries(menu, "checked"), [false, false, true])

        menu.items[1].triggered()
        compare(VCHub.outputDeviceIndex, 1)
        compare(menuEntries(menu, "checked"), [false, true, false])
        // Choosing the marked entry again keeps the mark.
        menu.items[1].toggle()
        menu.items[1].triggered()
        compare(menuEntries(menu, "checked"), [false, true, false])

        VCHub.outputDevices = ["Default device"]
        compare(menu.items.length, 1)
        compare(menu.items[0].text, "Default device")
    }
}
