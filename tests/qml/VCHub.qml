pragma Singleton

import QtQuick

// Test double of the application's hub: the properties the views read and write, and slots
// that record their calls in `calls` instead of acting.
QtObject {
    id: root

    property var calls: []
    property QtObject clientUser: QtObject {
        property bool isProcessingPlayerRequest: false
        property bool isLoggedIn: false
        property string sid: ""
        property string username: ""
        property string city: ""
        property string stationName: ""
        property string stationLogoUrl: ""
        property string newVersion: ""
        property string newVersionUrl: ""

        signal authError
        signal savedSessionEnded

        function login(username, password) {
            root.record("login", [username, password])
        }

        function logout() {
            root.record("logout", [])
        }
    }
    property int logsStoreDays: 30
    property string language: "system"
    property bool showKeepRunningDialog: true
    property var outputDevices: ["Default device"]
    property var recordDevices: []
    property int outputDeviceIndex: 0
    property ListModel sources: ListModel {}
    property double silenceDetectionLevelDb: -50
    property int silenceDetectionStartMs: 5000
    property int silenceDetectionEndMs: 5000
    property bool isOutputDeviceMissing: false
    property int failbackHoldMs: 30000
    readonly property int failbackHoldMaxMs: 300000
    property bool failoverNotifications: true
    property bool loudnessMatch: false
    property double loudnessTargetLufs: -23
    property QtObject autostart: QtObject {
        property bool isEnabled: false

        function refresh() {
            root.record("autostart.refresh", [])
        }
    }

    signal notify(string title, string message, bool isWarning)

    function record(name, args) {
        calls.push({
                       "name": name,
                       "args": args
                   })
    }

    function callsNamed(name) {
        return calls.filter(call => call.name === name).map(call => call.args)
    }

    function play(sourceIndex, streamUrl) {
        record("play", [sourceIndex, streamUrl])
    }

    function restart(sourceIndex) {
        record("restart", [sourceIndex])
    }

    function addNewRecordSource() {
        record("addNewRecordSource", [])
    }

    function moveSource(indexFrom, indexTo) {
        record("moveSource", [indexFrom, indexTo])
    }

    function deleteSource(sourceIndex) {
        record("deleteSource", [sourceIndex])
    }

    // A source row with every property the views read; `properties` overrides the defaults.
    function appendSource(properties) {
        const source = {
            "streamUrl": "",
            "isActive": false,
            "volumeLevel": 1.0,
            "activityDurationMs": 0,
            "isRecordDevice": false,
            "isPlaying": false,
            "isStalled": false,
            "isConnected": false,
            "connectionDurationMs": 0,
            "level": 0,
            "levelDb": -Infinity,
            "avgLevel": 0,
            "avgLevelDb": -Infinity,
            "loudnessLufs": -Infinity,
            "isSilentSound": true,
            "soundDurationMs": 0,
            "isSilentSoundByLevel": true,
            "soundByLevelDurationMs": 0,
            "isHeldBack": false,
            "heldBackRemainingMs": 0
        }
        for (const name in properties)
            source[name] = properties[name]
        sources.append(source)
    }

    function reset() {
        calls = []
        clientUser.isProcessingPlayerRequest = false
        clientUser.isLoggedIn = false
        clientUser.sid = ""
        clientUser.username = ""
        clientUser.city = ""
        clientUser.stationName = ""
        clientUser.stationLogoUrl = ""
        clientUser.newVersion = ""
        clientUser.newVersionUrl = ""
        logsStoreDays = 30
        language = "system"
        showKeepRunningDialog = true
        outputDevices = ["Default device"]
        recordDevices = []
        outputDeviceIndex = 0
        sources.clear()
        silenceDetectionLevelDb = -50
        silenceDetectionStartMs = 5000
        silenceDetectionEndMs = 5000
        isOutputDeviceMissing = false
        failbackHoldMs = 30000
        loudnessMatch = false
        loudnessTargetLufs = -23
    }
}
