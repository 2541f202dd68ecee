#pragma once

#include <QAbstractListModel>

// An item model whose rows are QObjects and whose roles are their properties. The typed
// QQmlObjectListModel<T> holds the items; this base carries what needs the meta-object system
// (the count property and its signal) and the list operations offered to QML.
class QQmlObjectListModelBase : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    explicit QQmlObjectListModelBase(QObject *parent = nullptr)
        : QAbstractListModel(parent)
    {}

    virtual int count() const = 0;

public slots:
    virtual int size() const = 0;
    virtual bool isEmpty() const = 0;
    virtual bool contains(QObject *item) const = 0;
    virtual int indexOf(QObject *item) const = 0;
    virtual void clear() = 0;
    virtual void append(QObject *item) = 0;
    virtual void move(int from, int to) = 0;
    virtual void remove(int index) = 0;
    virtual QObject *get(int index) const = 0;

signals:
    void countChanged();

protected slots:
    // Connected to every property's change signal of every item.
    void onItemPropertyChanged();
    // An item deleted while still listed leaves the list instead of dangling.
    void onItemDestroyed(QObject *item) { itemDestroyed(item); }

protected:
    virtual void itemPropertyChanged(QObject *item, int signalIndex) = 0;
    virtual void itemDestroyed(QObject *item) = 0;
};
