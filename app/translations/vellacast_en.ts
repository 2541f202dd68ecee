<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>VCApplicationWindow</name>
    <message>
        <source>Vellacast</source>
        <translation>Vellacast</translation>
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
</context>
</TS>
