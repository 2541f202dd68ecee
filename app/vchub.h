#pragma once

#include <QObject>

// The application's single QML singleton: owns the service client, the sources and the settings.
class VCHub : public QObject
{
    Q_OBJECT

public:
    explicit VCHub(QObject *parent = nullptr);
    ~VCHub() override;
};
