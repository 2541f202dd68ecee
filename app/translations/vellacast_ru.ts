<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>VCApplicationWindow</name>
    <message>
        <source>Vellacast</source>
        <translation>Веллакаст</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Vellacast</source>
        <translation>Веллакаст</translation>
    </message>
    <message>
        <source>The application is already running.
Allowed to run only one instance of the application.</source>
        <translation>Приложение уже запущено.
Разрешено запускать только один экземпляр приложения.</translation>
    </message>
    <message>
        <source>I couldn&apos;t detect any system tray on this system.</source>
        <translation>Не удалось обнаружить системный трей в этой системе.</translation>
    </message>
</context>
</TS>
