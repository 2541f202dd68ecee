import QtQuick
import QtTest
import Vellacast

TestCase {
    id: testCase

    name: "LoginView"
    when: windowShown
    width: 720
    height: 540

    Component {
        id: viewComponent

        VCLoginView {
            anchors.fill: parent
        }
    }

    function init() {
        VCHub.reset()
    }

    function createView() {
        // TestCase itself is never visible; the view goes straight into the window.
        const view = createTemporaryObject(viewComponent, testCase.Window.window.contentItem)
        verify(view)
        return view
    }

    function type(field, text) {
        field.forceActiveFocus()
        field.selectAll()
        keyClick(Qt.Key_Delete)
        for (const character of text)
            keyClick(character)
    }

    function test_loginCheckMessage_data() {
        return [
            { tag: "empty user name",
              username: "", password: "secret", sid: "", message: "Username required" },
            { tag: "empty user name with a saved login",
              username: "", password: "", sid: "s1", message: "Username required" },
            { tag: "empty password",
              username: "demo", password: "", sid: "", message: "Password required" },
            { tag: "empty password with a saved login",
              username: "demo", password: "", sid: "s1", message: "" },
            { tag: "both given", username: "demo", password: "demo", sid: "", message: "" },
            { tag: "user name of spaces", username: "   ", password: "demo", sid: "", message: "" }
        ]
    }

    function test_loginCheckMessage(data) {
        const view = createView()
        compare(view.loginCheckMessage(data.username, data.password, data.sid), data.message)
    }

    function test_startLogin_data() {
        return [
            { tag: "empty user name",
              username: "", password: "secret", sid: "", message: "Username required", focus: "usernameField", login: [] },
            { tag: "empty password",
              username: "demo", password: "", sid: "", message: "Password required", focus: "passwordField", login: [] },
            { tag: "saved login",
              username: "demo", password: "", sid: "s1", message: "", focus: "loginButton", login: [["demo", ""]] },
            { tag: "texts as typed",
              username: " demo ", password: "pa ss", sid: "", message: "", focus: "loginButton", login: [[" demo ", "pa ss"]] }
        ]
    }

    function test_startLogin(data) {
        const view = createView()
        VCHub.clientUser.sid = data.sid
        const usernameField = findChild(view, "usernameField")
        const passwordField = findChild(view, "passwordField")
        const loginButton = findChild(view, "loginButton")
        type(usernameField, data.username)
        type(passwordField, data.password)
        // Every edit of the user name goes to the client, which stores it.
        compare(VCHub.clientUser.username, data.username)

        mouseClick(loginButton)
        compare(VCHub.callsNamed("login"), data.login)
        const toolTip = findChild(view, "messageToolTip")
        if (data.message) {
            tryCompare(toolTip, "opened", true)
            compare(toolTip.text, data.message)
            compare(toolTip.timeout, 3000)
        } else {
            verify(!toolTip.visible)
        }
        verify(findChild(view, data.focus).activeFocus, data.focus + " has no focus")
    }

    function test_enterStartsLogin() {
        const view = createView()
        VCHub.clientUser.username = "demo"
        type(findChild(view, "passwordField"), "demo")
        keyClick(Qt.Key_Return)
        compare(VCHub.callsNamed("login"), [["demo", "demo"]])
        type(findChild(view, "usernameField"), "other")
        keyClick(Qt.Key_Return)
        compare(VCHub.callsNamed("login").length, 2)
    }

    function test_authError() {
        const view = createView()
        const toolTip = findChild(view, "messageToolTip")
        VCHub.clientUser.authError()
        tryCompare(toolTip, "opened", true)
        compare(toolTip.text, "Authentication error")
    }

    function test_initialFocus_data() {
        return [
            { tag: "no user name", username: "", focus: "usernameField" },
            { tag: "stored user name", username: "demo", focus: "passwordField" }
        ]
    }

    function test_initialFocus(data) {
        VCHub.clientUser.username = data.username
        const view = createView()
        verify(findChild(view, data.focus).activeFocus)
    }

    function test_busyIndicatorReplacesForm() {
        const view = createView()
        const form = findChild(view, "loginForm")
        const busy = findChild(view, "busyIndicator")
        verify(form.visible)
        verify(!busy.visible)
        VCHub.clientUser.isProcessingPlayerRequest = true
        verify(!form.visible)
        verify(busy.visible)
        compare(busy.height, form.height)
    }

    function test_newVersionLink() {
        const view = createView()
        const link = findChild(view, "newVersionLink")
        verify(!link.visible)
        VCHub.clientUser.newVersion = "1.2.0"
        VCHub.clientUser.newVersionUrl = "https://service.example.org/playerBuild/vc-1.2.0.exe"
        verify(link.visible)
        compare(link.text, "<a href=\"https://service.example.org/playerBuild/vc-1.2.0.exe\">"
                + "Download new version v1.2.0</a>")
        compare(findChild(view, "versionLabel").text, "v1.1.15")
    }

    function test_newVersionLinkEscapesMarkup() {
        const link = findChild(createView(), "newVersionLink")
        compare(link.linkText("https://h.example.org/a?x=1&y=\"2\"", "<b>2</b>"),
                "<a href=\"https://h.example.org/a?x=1&amp;y=&quot;2&quot;\">"
                + "Download new version v&lt;b&gt;2&lt;/b&gt;</a>")
    }
}
