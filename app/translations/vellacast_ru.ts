<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru">
<context>
    <name>VCAboutDialog</name>
    <message>
        <source>About</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Vellacast</source>
        <translation>Веллакаст</translation>
    </message>
    <message>
        <source>Application for organizing backup Internet broadcasting of radio stations of the Aurora Bay media group.</source>
        <translation>Приложение для организации резервного интернет-вещания радиостанций медиагруппы «Aurora Bay».</translation>
    </message>
    <message>
        <source>Logs storage period (days)</source>
        <translation>Срок хранения журналов (дней)</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Язык</translation>
    </message>
    <message>
        <source>Developed by order of:</source>
        <translation>Разработано по заказу:</translation>
    </message>
    <message>
        <source>Developer:</source>
        <translation>Разработчик:</translation>
    </message>
</context>
<context>
    <name>VCApplicationWindow</name>
    <message>
        <source>No output device: sound is off</source>
        <translation>Нет устройства вывода: звук выключен</translation>
    </message>
    <message>
        <source>Vellacast</source>
        <translation>Веллакаст</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Имя пользователя</translation>
    </message>
    <message>
        <source>Output device</source>
        <translation>Устройство вывода</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Настройки определения тишины</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Выйти</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Закрыть</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Вы уверены?</translation>
    </message>
    <message>
        <source>Start at login</source>
        <translation>Запускать при входе в систему</translation>
    </message>
</context>
<context>
    <name>VCAutostart</name>
    <message>
        <source>Starts Vellacast in %1</source>
        <translation>Запускает Веллакаст в папке %1</translation>
    </message>
</context>
<context>
    <name>VCConfirmationDialog</name>
    <message>
        <source>Yes</source>
        <translation>Да</translation>
    </message>
    <message>
        <source>No</source>
        <translation>Нет</translation>
    </message>
</context>
<context>
    <name>VCFailoverNotifier</name>
    <message>
        <source>%1 went silent.</source>
        <translation>%1 замолчал.</translation>
    </message>
    <message>
        <source>%1 stalled.</source>
        <translation>%1 завис.</translation>
    </message>
    <message>
        <source>%1 disconnected.</source>
        <translation>%1 отключился.</translation>
    </message>
    <message>
        <source>%1 came back.</source>
        <translation>%1 вернулся.</translation>
    </message>
    <message>
        <source>Now on air: %1</source>
        <translation>Сейчас в эфире: %1</translation>
    </message>
    <message>
        <source>No source can be heard</source>
        <translation>Ни один источник не слышен</translation>
    </message>
    <message>
        <source>Every source is silent, stalled or disconnected: the station is off the air.</source>
        <translation>Все источники молчат, зависли или отключены: станция не в эфире.</translation>
    </message>
    <message numerus="yes">
        <source>%n change(s) within %1 seconds.</source>
        <translation>
            <numerusform>%n изменение за %1 с.</numerusform>
            <numerusform>%n изменения за %1 с.</numerusform>
            <numerusform>%n изменений за %1 с.</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>VCHub</name>
    <message>
        <source>Default device</source>
        <translation>Устройство по умолчанию</translation>
    </message>
</context>
<context>
    <name>VCIndicator</name>
    <message>
        <source>d</source>
        <translation>д</translation>
    </message>
    <message>
        <source>h</source>
        <translation>ч</translation>
    </message>
    <message>
        <source>min</source>
        <translation>мин</translation>
    </message>
    <message>
        <source>sec</source>
        <translation>сек</translation>
    </message>
</context>
<context>
    <name>VCKeepRunningDialog</name>
    <message>
        <source>Information</source>
        <translation>Информация</translation>
    </message>
    <message>
        <source>Vellacast will keep running in background</source>
        <translation>Веллакаст продолжит работу в фоновом режиме</translation>
    </message>
    <message>
        <source>Do not show again</source>
        <translation>Больше не показывать</translation>
    </message>
</context>
<context>
    <name>VCLevelIndicatorItem</name>
    <message>
        <source>dB</source>
        <translation>дБ</translation>
    </message>
</context>
<context>
    <name>VCLoginView</name>
    <message>
        <source>Username required</source>
        <translation>Укажите имя пользователя</translation>
    </message>
    <message>
        <source>Password required</source>
        <translation>Укажите пароль</translation>
    </message>
    <message>
        <source>Authentication error</source>
        <translation>Ошибка аутентификации</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Имя пользователя</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>Пароль</translation>
    </message>
    <message>
        <source>Login</source>
        <translation>Войти</translation>
    </message>
</context>
<context>
    <name>VCMainView</name>
    <message>
        <source>Station</source>
        <translation>Станция</translation>
    </message>
    <message>
        <source>City</source>
        <translation>Город</translation>
    </message>
    <message>
        <source>Username</source>
        <translation>Имя пользователя</translation>
    </message>
    <message>
        <source>Logout</source>
        <translation>Выйти</translation>
    </message>
    <message>
        <source>Add recording source</source>
        <translation>Добавить вход записи</translation>
    </message>
    <message>
        <source>Silence detection settings</source>
        <translation>Настройки тишины</translation>
    </message>
    <message>
        <source>About</source>
        <translation>О программе</translation>
    </message>
    <message>
        <source>Delete source</source>
        <translation>Удалить источник</translation>
    </message>
    <message>
        <source>Are you sure?</source>
        <translation>Вы уверены?</translation>
    </message>
    <message>
        <source>Start at login</source>
        <translation>Запуск при входе</translation>
    </message>
</context>
<context>
    <name>VCMainViewHeaderItem</name>
    <message>
        <source>Output device</source>
        <translation>Устройство вывода</translation>
    </message>
    <message>
        <source>Sources</source>
        <translation>Источники</translation>
    </message>
</context>
<context>
    <name>VCNewVersionLink</name>
    <message>
        <source>Download new version</source>
        <translation>Скачать новую версию</translation>
    </message>
</context>
<context>
    <name>VCSilenceDetectionSettingsDialog</name>
    <message>
        <source>Silence detection settings</source>
        <translation>Настройки определения тишины</translation>
    </message>
    <message>
        <source>Silence detection level (decibels)</source>
        <translation>Уровень определения тишины (децибелы)</translation>
    </message>
    <message>
        <source>The duration of silence for detection (seconds)</source>
        <translation>Длительность тишины для определения (секунды)</translation>
    </message>
    <message>
        <source>The duration of sound for detection (seconds)</source>
        <translation>Длительность звука для определения (секунды)</translation>
    </message>
    <message>
        <source>Hold back a source after a connection loss (seconds)</source>
        <translation>Задержка возврата источника после потери связи (секунды)</translation>
    </message>
    <message>
        <source>Show failover notifications</source>
        <translation>Уведомлять о переключении источников</translation>
    </message>
    <message>
        <source>Match loudness</source>
        <translation>Выравнивать громкость</translation>
    </message>
    <message>
        <source>Loudness of every source (LUFS)</source>
        <translation>Громкость каждого источника (LUFS)</translation>
    </message>
</context>
<context>
    <name>VCSourceDelegateItem</name>
    <message>
        <source>Playing</source>
        <translation>Играет</translation>
    </message>
    <message>
        <source>Not playing</source>
        <translation>Не играет</translation>
    </message>
    <message>
        <source>Conected</source>
        <translation>Подключён</translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation>Отключён</translation>
    </message>
    <message>
        <source>Silent</source>
        <translation>Тишина</translation>
    </message>
    <message>
        <source>Sound</source>
        <translation>Звук</translation>
    </message>
    <message>
        <source>Volume level %</source>
        <translation>Громкость, %</translation>
    </message>
    <message>
        <source>Back in %1</source>
        <translation>Вернётся через %1</translation>
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
    <message>
        <source>Keeps a radio station on air over the internet as a backup. Settings, lock and log files live in the working directory.</source>
        <translation>Поддерживает радиостанцию в эфире через интернет как резерв. Настройки, файл блокировки и журналы хранятся в рабочей папке.</translation>
    </message>
    <message>
        <source>Show this help and exit.</source>
        <translation>Показать эту справку и выйти.</translation>
    </message>
    <message>
        <source>Show the version and exit.</source>
        <translation>Показать версию и выйти.</translation>
    </message>
    <message>
        <source>Start in the system tray without showing the window (it shows when nobody is logged in).</source>
        <translation>Запуститься в системном трее, не показывая окно (оно показывается, если никто не вошёл).</translation>
    </message>
    <message>
        <source>Run without a window, tray or display, on the session saved by --login (for a service).</source>
        <translation>Работать без окна, значка в трее и дисплея, с сеансом, сохранённым через --login (для службы).</translation>
    </message>
    <message>
        <source>Log in as USERNAME (the password is read from the terminal or standard input), save the session and exit.</source>
        <translation>Войти как USERNAME (пароль читается с терминала или со стандартного ввода), сохранить сеанс и выйти.</translation>
    </message>
</context>
</TS>
