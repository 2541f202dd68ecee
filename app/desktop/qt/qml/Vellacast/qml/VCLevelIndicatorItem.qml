import QtQuick
import QtQuick.Controls
import Vellacast

Rectangle {
    id: root

    property bool isActive: false
    property bool isConnected: false
    property bool isStalled: false
    property bool isSilentSoundByLevel: false
    property real avgLevel: 0
    property real avgLevelDb: -Infinity
    // Short-term loudness (EBU R128) in LUFS, shown beside the level.
    property real loudnessLufs: -Infinity
    // Silent by level counts only while the stream is not stalled.
    readonly property bool isSilent: isSilentSoundByLevel && !isStalled
    // On a shown, not minimised window.
    readonly property bool isSeen: visible && Window.visibility !== Window.Hidden
                                   && Window.visibility !== Window.Minimized
    // The moving part moves only while someone can see it.
    readonly property bool isMoving: !isConnected && isSeen
    // The levels as drawn: taken at the shared clock's ticks while the meter is seen.
    property real shownLevel: 0
    property real shownLevelDb: -Infinity
    property real shownLoudnessLufs: -Infinity
    property bool watchesClock: false
    // Positions of the moving segment; it goes there and back in 2 × (positions - 1) steps.
    readonly property int segmentPositions: 6
    property bool holdsClock: false

    function barWidth(innerWidth, level) {
        return level > 0 ? innerWidth * Math.min(level, 1.0) : 0
    }

    function barColor(silent, active) {
        if (silent)
            return "red"
        return active ? "#0064fa" : "gray"
    }

    function levelText(levelDb, loudnessLufs) {
        const level = isFinite(levelDb) ? levelDb.toFixed(2) + " " + qsTr("dB") : ""
        if (!isFinite(loudnessLufs))
            return level
        // The unit's symbol is the same in every language.
        return level + "   " + loudnessLufs.toFixed(0) + " LUFS"
    }

    // Position (0 to positions - 1) of the moving segment at a step of the clock: there and back.
    function segmentPosition(step, positions) {
        const phase = step % (2 * positions - 2)
        return phase < positions ? phase : 2 * positions - 2 - phase
    }

    function showLevels() {
        shownLevel = avgLevel
        shownLevelDb = avgLevelDb
        shownLoudnessLufs = loudnessLufs
    }

    function watchClock(watch) {
        if (watch === watchesClock)
            return
        watchesClock = watch
        if (watch) {
            showLevels()
            VCMeterClock.watch()
        } else {
            VCMeterClock.unwatch()
        }
    }

    function holdClock(hold) {
        if (hold === holdsClock)
            return
        holdsClock = hold
        if (hold)
            VCMeterClock.hold()
        else
            VCMeterClock.release()
    }

    border.width: 1
    border.color: "black"
    color: "transparent"
    onIsMovingChanged: holdClock(isMoving)
    onIsSeenChanged: watchClock(isSeen)
    Component.onCompleted: {
        showLevels()
        holdClock(isMoving)
        watchClock(isSeen)
    }
    Component.onDestruction: {
        holdClock(false)
        watchClock(false)
    }

    Connections {
        target: VCMeterClock
        enabled: root.watchesClock

        function onTickChanged() {
            root.showLevels()
        }
    }

    Rectangle {
        id: levelBar

        objectName: "levelBar"
        x: 1
        anchors.verticalCenter: parent.verticalCenter
        width: root.barWidth(root.width - 2, root.shownLevel)
        height: root.height - 2
        color: root.barColor(root.isSilent, root.isActive)
    }

    // Looks like the style's indeterminate bar, but moves by steps of the shared clock instead of
    // animating at the display's frame rate.
    ProgressBar {
        id: connectingBar

        objectName: "connectingBar"
        anchors.fill: parent
        anchors.margins: 1
        indeterminate: true
        visible: !root.isConnected

        background: Rectangle {
            y: (connectingBar.height - height) / 2
            width: connectingBar.width
            height: 6
            color: connectingBar.palette.midlight
        }

        contentItem: Item {
            Rectangle {
                objectName: "connectingSegment"
                y: (parent.height - height) / 2
                width: parent.width / 4
                height: 6
                // Bound to the clock only while moving, so a connected meter ignores its steps.
                x: root.isMoving ? (parent.width - width) / (root.segmentPositions - 1)
                                   * root.segmentPosition(VCMeterClock.step, root.segmentPositions)
                                 : 0
                color: connectingBar.palette.dark
            }
        }
    }

    Label {
        id: levelLabel

        objectName: "levelLabel"
        anchors.centerIn: parent
        visible: root.isConnected
        text: root.levelText(root.shownLevelDb, root.shownLoudnessLufs)
        color: root.isSilent ? "red" : "black"
        font.bold: root.isSilent
    }

    // The part of the text over the bar, in white, so that the whole text stays legible.
    Item {
        objectName: "levelLabelOverBar"
        x: levelBar.x
        y: levelBar.y
        width: levelBar.width
        height: levelBar.height
        clip: true
        visible: levelLabel.visible && width > 0

        Label {
            x: levelLabel.x - parent.x
            y: levelLabel.y - parent.y
            text: levelLabel.text
            font: levelLabel.font
            color: "white"
        }
    }
}
