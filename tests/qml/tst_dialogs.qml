import QtQuick
import QtTest
import Vellacast

TestCase {
    id: testCase

    name: "Dialogs"
    when: windowShown
    width: 720
    height: 540

    Component {
        id: spinBoxComponent

        VCSilenceDetectionSettingsSpinBox {
            width: 400
            text: "Label"
        }
    }

    Component {
        id: silenceDialogComponent

        VCSilenceDetectionSettingsDialog {}
    }

    Component {
        id: keepRunningDialogComponent

        VCKeepRunningDialog {}
    }

    Component {
        id: aboutDialogComponent

        VCAboutDialog {}
    }

    Component {
        id: confirmationDialogComponent

        VCConfirmationDialog {
            title: "Logout"
            informationText: "Are you sure?"
        }
    }

    function init() {
        VCHub.reset()
    }

    // TestCase itself is never visible; what is tested goes straight into the window.
    function create(component, properties) {
        const object = createTemporaryObject(component, testCase.Window.window.contentItem,
                                             properties || {})
        verify(object)
        return object
    }

    function levelBox() {
        return {
            "from": -10000,
            "to": 0,
            "stepSize": 100,
            "valueMultiplier": 100
        }
    }

    function durationBox() {
        return {
            "from": 100,
            "to": 1800000,
            "stepSize": 1000,
            "valueMultiplier": 1000
        }
    }

    function test_shownText_data() {
        return [
            { tag: "level -40.00", box: levelBox(), value: -4000, locale: "en_US", text: "-40.00" },
            { tag: "level in a decimal-comma locale",
              box: levelBox(), value: -4050, locale: "ru_RU", text: "-40,50" },
            { tag: "duration 0.10", box: durationBox(), value: 100, locale: "en_US", text: "0.10" },
            { tag: "duration 1800.00",
              box: durationBox(), value: 1800000, locale: "C", text: "1800.00" }
        ]
    }

    function test_shownText(data) {
        const box = create(spinBoxComponent, data.box)
        compare(box.textFromValue(data.value, Qt.locale(data.locale)), data.text)
    }

    function test_typedText_data() {
        return [
            { tag: "5 seconds", box: durationBox(), text: "5", locale: "en_US", value: 5000 },
            { tag: "0.1 seconds", box: durationBox(), text: "0.1", locale: "en_US", value: 100 },
            { tag: "1,5 seconds with a decimal comma",
              box: durationBox(), text: "1,5", locale: "ru_RU", value: 1500 },
            { tag: "-40.5 dB", box: levelBox(), text: "-40.5", locale: "en_US", value: -4050 },
            { tag: "below the floor keeps the value",
              box: durationBox(), text: "0.09", locale: "en_US", value: 3000 },
            { tag: "above the ceiling keeps the value",
              box: durationBox(), text: "1800.01", locale: "en_US", value: 3000 },
            { tag: "not a number keeps the value",
              box: durationBox(), text: "5s", locale: "en_US", value: 3000 },
            { tag: "empty text keeps the value",
              box: levelBox(), text: "", locale: "en_US", value: -3000 }
        ]
    }

    function test_typedText(data) {
        const box = create(spinBoxComponent, data.box)
        box.value = data.box.valueMultiplier === 100 ? -3000 : 3000
        compare(box.valueFromText(data.text, Qt.locale(data.locale)), data.value)
    }

    // Typing into the box itself: accepted numbers are stored, anything else leaves the value.
    function test_typing_data() {
        return [
            { tag: "5 in a duration box",
              box: durationBox(), start: 1000, typed: "5", value: 5000 },
            { tag: "0.1 in a duration box",
              box: durationBox(), start: 1000, typed: "0.1", value: 100 },
            { tag: "below the floor", box: durationBox(), start: 1000, typed: "0.05", value: 1000 },
            { tag: "above the ceiling",
              box: durationBox(), start: 1000, typed: "2000", value: 1000 },
            { tag: "not a number", box: durationBox(), start: 1000, typed: "abc", value: 1000 },
            { tag: "-40 in the level box",
              box: levelBox(), start: -5000, typed: "-40", value: -4000 },
            { tag: "positive level", box: levelBox(), start: -5000, typed: "3", value: -5000 }
        ]
    }

    function test_typing(data) {
        const box = create(spinBoxComponent, data.box)
        box.value = data.start
        const spinBox = findChild(box, "spinBox")
        spinBox.locale = Qt.locale("en_US")
        spinBox.contentItem.forceActiveFocus()
        spinBox.contentItem.selectAll()
        keyClick(Qt.Key_Delete)
        for (const character of data.typed)
            keyClick(character)
        keyClick(Qt.Key_Return)
        compare(box.value, data.value)
        compare(spinBox.contentItem.text, box.textFromValue(data.value, spinBox.locale))
    }

    function test_arrows_data() {
        return [
            { tag: "up on 5000 ms", box: durationBox(), start: 5000, key: Qt.Key_Up, value: 6000 },
            { tag: "down on 5000 ms",
              box: durationBox(), start: 5000, key: Qt.Key_Down, value: 4000 },
            { tag: "down from the 0.10 floor",
              box: durationBox(), start: 100, key: Qt.Key_Down, value: 100 },
            { tag: "down from 0.5 stops at the floor",
              box: durationBox(), start: 500, key: Qt.Key_Down, value: 100 },
            { tag: "up at the ceiling",
              box: durationBox(), start: 1800000, key: Qt.Key_Up, value: 1800000 },
            { tag: "level up at 0 dB", box: levelBox(), start: 0, key: Qt.Key_Up, value: 0 },
            { tag: "level down at -100 dB",
              box: levelBox(), start: -10000, key: Qt.Key_Down, value: -10000 },
            { tag: "level up by 1 dB", box: levelBox(), start: -5000, key: Qt.Key_Up, value: -4900 }
        ]
    }

    function test_arrows(data) {
        const box = create(spinBoxComponent, data.box)
        box.value = data.start
        findChild(box, "spinBox").forceActiveFocus()
        keyClick(data.key)
        compare(box.value, data.value)
    }

    function test_silenceDialogWritesHub() {
        const dialog = create(silenceDialogComponent)
        const level = findChild(dialog, "levelSpinBox")
        const start = findChild(dialog, "startSpinBox")
        const end = findChild(dialog, "endSpinBox")
        compare([level.value, start.value, end.value], [-5000, 5000, 5000])
        findChild(level, "spinBox").increase()
        tryCompare(VCHub, "silenceDetectionLevelDb", -49)
        findChild(start, "spinBox").increase()
        tryCompare(VCHub, "silenceDetectionStartMs", 6000)
        findChild(end, "spinBox").decrease()
        tryCompare(VCHub, "silenceDetectionEndMs", 4000)
        // And back: the boxes follow the hub.
        VCHub.silenceDetectionStartMs = 7000
        VCHub.silenceDetectionLevelDb = -20.5
        compare([level.value, start.value], [-2050, 7000])

        const hold = findChild(dialog, "failbackHoldSpinBox")
        compare(hold.value, 30000)
        findChild(hold, "spinBox").increase()
        tryCompare(VCHub, "failbackHoldMs", 31000)
    }

    // 0 turns the hold off; the longest hold bounds the first.
    function test_failbackHoldClamped_data() {
        return [
            { tag: "off", holdMs: 0, expected: 0 },
            { tag: "negative", holdMs: -5000, expected: 0 },
            { tag: "beyond the longest hold", holdMs: 400000, expected: 300000 }
        ]
    }

    function test_failbackHoldClamped(data) {
        VCHub.failbackHoldMs = data.holdMs
        create(silenceDialogComponent)
        wait(0)
        compare(VCHub.failbackHoldMs, data.expected)
    }

    SignalSpy {
        id: hubSpy
    }

    // The boxes exist from the window's creation on; values in range are left as they are, values
    // out of range are replaced by the nearest bound at once.
    function test_silenceDialogClampsHubValues_data() {
        return [
            { tag: "in range",
              levelDb: -50, startMs: 5000, endMs: 5000, expected: [-50, 5000, 5000] },
            { tag: "50 ms start",
              levelDb: -50, startMs: 50, endMs: 5000, expected: [-50, 100, 5000] },
            { tag: "end beyond 30 minutes",
              levelDb: -50, startMs: 5000, endMs: 2000000, expected: [-50, 5000, 1800000] },
            { tag: "level below -100",
              levelDb: -150, startMs: 5000, endMs: 5000, expected: [-100, 5000, 5000] },
            { tag: "level above 0",
              levelDb: 3, startMs: 5000, endMs: 5000, expected: [0, 5000, 5000] },
            { tag: "level finer than the box",
              levelDb: -40.556, startMs: 5000, endMs: 5000, expected: [-40.56, 5000, 5000] }
        ]
    }

    function test_silenceDialogClampsHubValues(data) {
        VCHub.silenceDetectionLevelDb = data.levelDb
        VCHub.silenceDetectionStartMs = data.startMs
        VCHub.silenceDetectionEndMs = data.endMs
        hubSpy.target = VCHub
        hubSpy.signalName = "silenceDetectionStartMsChanged"
        hubSpy.clear()
        create(silenceDialogComponent)
        wait(0)
        compare([VCHub.silenceDetectionLevelDb, VCHub.silenceDetectionStartMs,
                 VCHub.silenceDetectionEndMs], data.expected)
        // An in-range value is never rewritten on the way (no detour over another bound).
        compare(hubSpy.count, data.startMs === data.expected[1] ? 0 : 1)
    }

    function test_keepRunningCheckBox() {
        const dialog = create(keepRunningDialogComponent)
        compare(dialog.title, "Information")
        dialog.open()
        tryCompare(dialog, "opened", true)
        const checkBox = findChild(dialog, "doNotShowAgainCheckBox")
        verify(!checkBox.checked)
        mouseClick(checkBox)
        verify(checkBox.checked)
        verify(!VCHub.showKeepRunningDialog)
        // Unchecking before OK writes at once, too.
        mouseClick(checkBox)
        verify(!checkBox.checked)
        verify(VCHub.showKeepRunningDialog)
        VCHub.showKeepRunningDialog = false
        verify(checkBox.checked)
    }

    function test_aboutLogsStoreDays_data() {
        return [
            { tag: "30 days", stored: 30, shown: 30 },
            { tag: "0 days", stored: 0, shown: 0 },
            { tag: "365 days", stored: 365, shown: 365 },
            { tag: "400 days", stored: 400, shown: 365 },
            { tag: "negative", stored: -3, shown: 0 }
        ]
    }

    function test_aboutLogsStoreDays(data) {
        VCHub.logsStoreDays = data.stored
        const dialog = create(aboutDialogComponent)
        const spinBox = findChild(dialog, "logsStoreDaysSpinBox")
        compare(spinBox.value, data.shown)
        tryCompare(VCHub, "logsStoreDays", data.shown)
        spinBox.decrease()
        tryCompare(VCHub, "logsStoreDays", Math.max(0, data.shown - 1))
        VCHub.logsStoreDays = 500
        compare(spinBox.value, 365)
        tryCompare(VCHub, "logsStoreDays", 365)
    }

    function test_aboutLanguage_data() {
        return [
            { tag: "system", language: "system", index: 0 },
            { tag: "ru", language: "ru", index: 1 },
            { tag: "en", language: "en", index: 2 },
            { tag: "none of the list", language: "fr", index: -1 }
        ]
    }

    function test_aboutLanguage(data) {
        VCHub.language = data.language
        const dialog = create(aboutDialogComponent)
        const comboBox = findChild(dialog, "languageComboBox")
        compare(comboBox.currentIndex, data.index)
        compare(comboBox.count, 3)
        compare(VCHub.language, data.language)
        comboBox.activated(2)
        compare(VCHub.language, "en")
    }

    function test_aboutNewVersionLink() {
        const dialog = create(aboutDialogComponent)
        const link = findChild(dialog, "newVersionLink")
        verify(!link.visible)
        VCHub.clientUser.newVersion = "1.2.0"
        VCHub.clientUser.newVersionUrl = "https://service.example.org/playerBuild/vc.exe"
        dialog.open()
        tryCompare(dialog, "opened", true)
        verify(link.visible)
        compare(link.text, "<a href=\"https://service.example.org/playerBuild/vc.exe\">"
                + "Download new version v1.2.0</a>")
    }

    SignalSpy {
        id: acceptedSpy

        signalName: "accepted"
    }

    SignalSpy {
        id: rejectedSpy

        signalName: "rejected"
    }

    function test_confirmation_data() {
        return [
            { tag: "yes", key: Qt.Key_Y, button: 0x00004000, accepted: 1, rejected: 0 },
            { tag: "no", button: 0x00010000, accepted: 0, rejected: 1 }
        ]
    }

    function test_confirmation(data) {
        const dialog = create(confirmationDialogComponent)
        acceptedSpy.target = dialog
        rejectedSpy.target = dialog
        acceptedSpy.clear()
        rejectedSpy.clear()
        dialog.open()
        tryCompare(dialog, "opened", true)
        compare(dialog.x, (dialog.parent.width - dialog.width) / 2)
        compare(dialog.y, (dialog.parent.height - dialog.height) / 2)
        verify(dialog.modal)
        mouseClick(dialog.standardButton(data.button))
        compare(acceptedSpy.count, data.accepted)
        compare(rejectedSpy.count, data.rejected)
        tryCompare(dialog, "visible", false)
    }
}
