<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>VCAboutDialog</name>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Vellacast</source>
        <translation>Vellacast</translation>
    </message>
    <message>
        <source>Application for organizing backup Internet broadcasting of radio stations of the Aurora Bay media group.</source>
        <translation>Application for organizing backup Internet broadcasting of radio stations of the Aurora Bay media group.</translation>
    </message>
    <message>
        <source>Logs storage period (days)</source>
        <translation>Logs storage period (days)</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>Developed by order of:</source>
        <translation>Developed by order of:</translation>
    </message>
    <message>
        <source>Developer:</source>
        <translation>Developer:</translation>
    </message>
</context>
<context>
    <name>VCApplicationWindow</name>
    <message>
        <source>No output device: sound is off</source>
        <translation>No output device: sound is off</translation>
    </message>
    <message>
        <source>Vellacast</source>
        <translation>Vellacast</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Username</translation>
    </message>
    <message>
        <source>Output device</source>
        <translation>Output device</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Silence detection settings</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Logout</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Are you sure?</translation>
    </message>
    <message>
        <source>Start at login</source>
        <translation>Start at login</translation>
    </message>
</context>
<context>
    <name>VCAutostart</name>
    <message>
        <source>Starts Vellacast in %1</source>
        <translation>Starts Vellacast in %1</translation>
    </message>
</context>
<context>
    <name>VCConfirmationDialog</name>
    <message>
        <source>Yes</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>No</source>
        <translation>No</translation>
    </message>
</context>
<context>
    <name>VCFailoverNotifier</name>
    <message>
        <source>%1 went silent.</source>
        <translation>%1 went silent.</translation>
    </message>
    <message>
        <source>%1 stalled.</source>
        <translation>%1 stalled.</translation>
    </message>
    <message>
        <source>%1 disconnected.</source>
        <translation>%1 disconnected.</translation>
    </message>
    <message>
        <source>%1 came back.</source>
        <translation>%1 came back.</translation>
    </message>
    <message>
        <source>Now on air: %1</source>
        <translation>Now on air: %1</translation>
    </message>
    <message>
        <source>No source can be heard</source>
        <translation>No source can be heard</translation>
    </message>
    <message>
        <source>Every source is silent, stalled or disconnected: the station is off the air.</source>
        <translation>Every source is silent, stalled or disconnected: the station is off the air.</translation>
    </message>
    <message numerus="yes">
        <source>%n change(s) within %1 seconds.</source>
        <translation>
            <numerusform>%n change within %1 seconds.</numerusform>
            <numerusform>%n changes within %1 seconds.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>VCHub</name>
    <message>
        <source>Default device</source>
        <translation>Default device</translation>
    </message>
</context>
<context>
    <name>VCIndicator</name>
    <message>
        <source>d</source>
        <translation>d</translation>
    </message>
    <message>
        <source>h</source>
        <translation>h</translation>
    </message>
    <message>
        <source>min</source>
        <translation>min</translation>
    </message>
    <message>
        <source>sec</source>
        <translation>sec</translation>
    </message>
</context>
<context>
    <name>VCKeepRunningDialog</name>
    <message>
        <source>Information</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>Vellacast will keep running in background</source>
        <translation>Vellacast will keep running in background</translation>
    </message>
    <message>
        <source>Do not show again</source>
        <translation>Do not show again</translation>
    </message>
</context>
<context>
    <name>VCLevelIndicatorItem</name>
    <message>
        <source>dB</source>
        <translation>dB</translation>
    </message>
</context>
<context>
    <name>VCLoginView</name>
    <message>
        <source>Username required</source>
        <translation>Username required</translation>
    </message>
    <message>
        <source>Password required</source>
        <translation>Password required</translation>
    </message>
    <message>
        <source>Authentication error</source>
        <translation>Authentication error</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Username</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>Login</translation>
    </message>
</context>
<context>
    <name>VCMainView</name>
    <message>
        <source>Station</source>
        <translation>Station</translation>
    </message>
    <message>
        <source>City</source>
        <translation>City</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Username</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Logout</translation>
    </message>
    <message>
        <source>Add recording source</source>
        <translation>Add recording source</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Silence detection settings</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Delete source</source>
        <translation>Delete source</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Are you sure?</translation>
    </message>
    <message>
        <source>Start at login</source>
        <translation>Start at login</translation>
    </message>
</context>
<context>
    <name>VCMainViewHeaderItem</name>
    <message>
        <source>Output device</source>
        <translation>Output device</translation>
    </message>
    <message>
        <source>Sources</source>
        <translation>Sources</translation>
    </message>
</context>
<context>
    <name>VCNewVersionLink</name>
    <message>
        <source>Download new version</source>
        <translation>Download new version</translation>
    </message>
</context>
<context>
    <name>VCSilenceDetectionSettingsDialog</name>
    <message>
        <source>Silence detection settings</source>
        <translation>Silence detection settings</translation>
    </message>
    <message>
        <source>Silence detection level (decibels)</source>
        <translation>Silence detection level (decibels)</translation>
    </message>
    <message>
        <source>The duration of silence for detection (seconds)</source>
        <translation>The duration of silence for detection (seconds)</translation>
    </message>
    <message>
        <source>The duration of sound for detection (seconds)</source>
        <translation>The duration of sound for detection (seconds)</translation>
    </message>
    <message>
        <source>Hold back a source after a connection loss (seconds)</source>
        <translation>Hold back a source after a connection loss (seconds)</translation>
    </message>
    <message>
        <source>Show failover notifications</source>
        <translation>Show failover notifications</translation>
    </message>
    <message>
        <source>Match loudness</source>
        <translation>Match loudness</translation>
    </message>
    <message>
        <source>Loudness of every source (LUFS)</source>
        <translation>Loudness of every source (LUFS)</translation>
    </message>
</context>
<context>
    <name>VCSourceDelegateItem</name>
    <message>
        <source>Playing</source>
        <translation>Playing</translation>
    </message>
    <message>
        <source>Not playing</source>
        <translation>Not playing</translation>
    </message>
    <message>
        <source>Conected</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Disconnected</translation>
    </message>
    <message>
        <source>Silent</source>
        <translation>Silent</translation>
    </message>
    <message>
        <source>Sound</source>
        <translation>Sound</translation>
    </message>
    <message>
        <source>Volume level %</source>
        <translation>Volume level %</translation>
    </message>
    <message>
        <source>Back in %1</source>
        <translation>Back in %1</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Vellacast</source>
        <translation>Vellacast</translation>
    </message>
    <message>
        <source>The application is already running.
Allowed to run only one instance of the application.</source>
        <translation>The application is already running.
Allowed to run only one instance of the application.</translation>
    </message>
    <message>
        <source>I couldn&apos;t detect any system tray on this system.</source>
        <translation>I couldn&apos;t detect any system tray on this system.</translation>
    </message>
    <message>
        <source>Keeps a radio station on air over the internet as a backup. Settings, lock and log files live in the working directory.</source>
        <translation>Keeps a radio station on air over the internet as a backup. Settings, lock and log files live in the working directory.</translation>
    </message>
    <message>
        <source>Show this help and exit.</source>
        <translation>Show this help and exit.</translation>
    </message>
    <message>
        <source>Show the version and exit.</source>
        <translation>Show the version and exit.</translation>
    </message>
    <message>
        <source>Start in the system tray without showing the window (it shows when nobody is logged in).</source>
        <translation>Start in the system tray without showing the window (it shows when nobody is logged in).</translation>
    </message>
    <message>
        <source>Run without a window, tray or display, on the session saved by --login (for a service).</source>
        <translation>Run without a window, tray or display, on the session saved by --login (for a service).</translation>
    </message>
    <message>
        <source>Log in as USERNAME (the password is read from the terminal or standard input), save the session and exit.</source>
        <translation>Log in as USERNAME (the password is read from the terminal or standard input), save the session and exit.</translation>
    </message>
</context>
</TS>
