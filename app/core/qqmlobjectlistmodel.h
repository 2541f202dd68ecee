#pragma once

#include "qqmlobjectlistmodelbase.h"

#include <QDebug>
#include <QHash>
#include <QList>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QPointer>

// The ordered list of T objects as an item model. Role 256 ("qtObject") is the object itself,
// the following roles are T's properties in meta-object order (starting with objectName). An
// item without a parent is adopted when it is inserted and deleted when it is removed; items
// that have a parent are only referred to.
template <typename T> class QQmlObjectListModel : public QQmlObjectListModelBase
{
public:
    // There is no display role and no lookup by unique id: both role names must be empty.
    explicit QQmlObjectListModel(QObject *parent = nullptr, const QByteArray &displayRole = {},
                                 const QByteArray &uidRole = {})
        : QQmlObjectListModelBase(parent)
    {
        Q_ASSERT(displayRole.isEmpty() && uidRole.isEmpty());
        Q_UNUSED(displayRole)
        Q_UNUSED(uidRole)
        static const QList<QByteArray> reserved{"id", "index", "class", "model", "modelData"};
        const QMetaObject &meta = T::staticMetaObject;
        m_roles.insert(Qt::UserRole, QByteArrayLiteral("qtObject"));
        int role = Qt::UserRole + 1;
        for (int i = 0; i < meta.propertyCount(); ++i) {
            const QMetaProperty property = meta.property(i);
            const QByteArray name = property.name();
            if (reserved.contains(name)) {
                qWarning() << "Can't have" << name << "as a role name in"
                           << qPrintable(QStringLiteral("QQmlObjectListModel<%1>")
                                             .arg(QString::fromLatin1(meta.className())));
                continue;
            }
            m_roles.insert(role, name);
            m_propertyOfRole.insert(role, i);
            if (property.hasNotifySignal())
                m_roleOfSignal.insert(property.notifySignalIndex(), role);
            ++role;
        }
    }

    // Item access.
    T *at(int index) const
    {
        return (index >= 0 && index < m_items.size()) ? m_items.at(index) : nullptr;
    }
    T *operator[](int index) const { return at(index); }
    const QList<T *> &toList() const { return m_items; }
    typename QList<T *>::const_iterator begin() const { return m_items.cbegin(); }
    typename QList<T *>::const_iterator end() const { return m_items.cend(); }

    int count() const override { return int(m_items.size()); }
    int size() const override { return count(); }
    bool isEmpty() const override { return m_items.isEmpty(); }
    bool contains(QObject *item) const override { return indexOf(item) >= 0; }
    int indexOf(QObject *item) const override
    {
        return int(m_items.indexOf(qobject_cast<T *>(item)));
    }
    QObject *get(int index) const override { return at(index); }

    void append(T *item)
    {
        if (!item)
            return;
        const int row = count();
        beginInsertRows(QModelIndex(), row, row);
        attach(item);
        m_items.append(item);
        m_objects.append(item);
        endInsertRows();
        emit countChanged();
    }
    void append(QObject *item) override { append(qobject_cast<T *>(item)); }

    void move(int from, int to) override
    {
        if (from < 0 || from >= count() || to < 0 || to >= count() || from == to)
            return;
        // Qt's row moves name the destination as the row before which the item lands.
        beginMoveRows(QModelIndex(), from, from, QModelIndex(), to > from ? to + 1 : to);
        m_items.move(from, to);
        m_objects.move(from, to);
        endMoveRows();
    }

    void remove(int index) override
    {
        if (index < 0 || index >= count())
            return;
        beginRemoveRows(QModelIndex(), index, index);
        T *item = m_items.takeAt(index);
        m_objects.removeAt(index);
        detach(item);
        endRemoveRows();
        emit countChanged();
    }

    void clear() override
    {
        if (m_items.isEmpty())
            return;
        beginResetModel();
        const QList<T *> items = std::exchange(m_items, {});
        m_objects.clear();
        for (T *item : items)
            detach(item);
        endResetModel();
        emit countChanged();
    }

    // QAbstractItemModel
    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : count();
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        T *item = itemOf(index);
        if (!item)
            return {};
        if (role == Qt::UserRole)
            return QVariant::fromValue(static_cast<QObject *>(item));
        const auto property = m_propertyOfRole.constFind(role);
        if (property == m_propertyOfRole.cend())
            return {};
        return T::staticMetaObject.property(*property).read(item);
    }

    bool setData(const QModelIndex &index, const QVariant &value, int role) override
    {
        T *item = itemOf(index);
        const auto property = m_propertyOfRole.constFind(role);
        if (!item || property == m_propertyOfRole.cend())
            return false;
        const QMetaProperty meta = T::staticMetaObject.property(*property);
        return meta.isWritable() && meta.write(item, value);
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        return itemOf(index) ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable
                             : Qt::NoItemFlags;
    }

    QHash<int, QByteArray> roleNames() const override { return m_roles; }

protected:
    void itemDestroyed(QObject *item) override
    {
        // The object is no longer a T: not even a conversion of its pointer is allowed now, so
        // it is looked up among the addresses taken while it was one.
        const int row = int(m_objects.indexOf(item));
        if (row < 0)
            return;
        beginRemoveRows(QModelIndex(), row, row);
        m_items.removeAt(row);
        m_objects.removeAt(row);
        endRemoveRows();
        emit countChanged();
    }

    void itemPropertyChanged(QObject *sender, int signalIndex) override
    {
        const int row = int(m_objects.indexOf(sender));
        const auto role = m_roleOfSignal.constFind(signalIndex);
        if (row < 0 || role == m_roleOfSignal.cend())
            return;
        const QModelIndex changed = index(row);
        emit dataChanged(changed, changed, {*role});
    }

private:
    T *itemOf(const QModelIndex &index) const
    {
        return (index.isValid() && !index.parent().isValid()) ? at(index.row()) : nullptr;
    }

    void attach(T *item)
    {
        if (!item->parent())
            item->setParent(this);
        static const QMetaMethod handler = QQmlObjectListModelBase::staticMetaObject.method(
            QQmlObjectListModelBase::staticMetaObject.indexOfSlot("onItemPropertyChanged()"));
        const QMetaObject &meta = T::staticMetaObject;
        for (auto it = m_roleOfSignal.cbegin(); it != m_roleOfSignal.cend(); ++it)
            connect(item, meta.method(it.key()), this, handler, Qt::UniqueConnection);
        connect(item, &QObject::destroyed, this, &QQmlObjectListModel::onItemDestroyed);
    }

    void detach(T *item)
    {
        disconnect(this, nullptr, item, nullptr);
        disconnect(item, nullptr, this, nullptr);
        if (item->parent() == this)
            item->deleteLater();
    }

    QList<T *> m_items;
    QList<QObject *> m_objects; // m_items as QObject pointers, in the same order
    QHash<int, QByteArray> m_roles;
    QHash<int, int> m_propertyOfRole; // role → property index
    QHash<int, int> m_roleOfSignal;   // notify signal index → role
};
