#include "qqmlobjectlistmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

// A stand-in item with the shapes of properties the application uses.
class Item : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString streamUrl READ streamUrl WRITE setStreamUrl NOTIFY streamUrlChanged)
    Q_PROPERTY(double volumeLevel READ volumeLevel WRITE setVolumeLevel NOTIFY volumeLevelChanged)
    Q_PROPERTY(double levelDb READ levelDb NOTIFY levelDbChanged)

public:
    using QObject::QObject;

    QString streamUrl() const { return m_streamUrl; }
    double volumeLevel() const { return m_volumeLevel; }
    double levelDb() const { return m_levelDb; }

public slots:
    bool setStreamUrl(const QString &value)
    {
        if (m_streamUrl == value)
            return false;
        m_streamUrl = value;
        emit streamUrlChanged(value);
        return true;
    }
    bool setVolumeLevel(double value)
    {
        if (qFuzzyCompare(m_volumeLevel, value))
            return false;
        m_volumeLevel = value;
        emit volumeLevelChanged(value);
        return true;
    }
    void updateLevelDb(double value)
    {
        m_levelDb = value;
        emit levelDbChanged(value);
    }

signals:
    void streamUrlChanged(const QString &);
    void volumeLevelChanged(double);
    void levelDbChanged(double);

private:
    QString m_streamUrl;
    double m_volumeLevel = 1;
    double m_levelDb = -100;
};

// A class whose property names collide with names QML reserves.
class Reserved : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int index READ index CONSTANT)
    Q_PROPERTY(int size READ size CONSTANT)
public:
    int index() const { return 0; }
    int size() const { return 0; }
};

using ItemModel = QQmlObjectListModel<Item>;

class TestObjectListModel : public QObject
{
    Q_OBJECT

private slots:
    void rolesFollowTheMetaObject();
    void reservedNamesAreSkipped();
    void appendKeepsParentsAndCounts();
    void propertyChangeReportsOneRowAndRole();
    void writesGoThroughToTheItem();
    void moveExchangesNeighbours();
    void removeDisconnectsWithoutDeleting();
    void orphansAreAdoptedAndDeleted();
    void deletedItemLeavesTheList();
    void outOfRangeAccess();
};

void TestObjectListModel::rolesFollowTheMetaObject()
{
    ItemModel model;
    const QHash<int, QByteArray> roles = model.roleNames();
    QCOMPARE(roles.size(), 5);
    QCOMPARE(roles.value(256), QByteArray("qtObject"));
    QCOMPARE(roles.value(257), QByteArray("objectName"));
    QCOMPARE(roles.value(258), QByteArray("streamUrl"));
    QCOMPARE(roles.value(259), QByteArray("volumeLevel"));
    QCOMPARE(roles.value(260), QByteArray("levelDb"));
    QVERIFY(!roles.contains(Qt::DisplayRole));
}

void TestObjectListModel::reservedNamesAreSkipped()
{
    QTest::ignoreMessage(QtWarningMsg,
                         "Can't have \"index\" as a role name in QQmlObjectListModel<Reserved>");
    QQmlObjectListModel<Reserved> model;
    const QHash<int, QByteArray> roles = model.roleNames();
    QCOMPARE(roles.value(258), QByteArray("size"));
    QVERIFY(!roles.values().contains("index"));
}

void TestObjectListModel::appendKeepsParentsAndCounts()
{
    QObject hub;
    ItemModel model(&hub);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy countSpy(&model, &QQmlObjectListModelBase::countChanged);
    QSignalSpy insertSpy(&model, &QAbstractItemModel::rowsInserted);

    auto *a = new Item(&hub);
    auto *b = new Item(&hub);
    model.append(a);
    model.append(b);
    model.append(static_cast<Item *>(nullptr));

    QCOMPARE(model.count(), 2);
    QCOMPARE(model.property("count").toInt(), 2);
    QCOMPARE(countSpy.count(), 2);
    QCOMPARE(insertSpy.count(), 2);
    QCOMPARE(insertSpy.at(1).at(1).toInt(), 1);
    QCOMPARE(a->parent(), &hub);
    QCOMPARE(model.at(1), b);
    QCOMPARE(model.data(model.index(0), 256).value<QObject *>(), a);
}

void TestObjectListModel::propertyChangeReportsOneRowAndRole()
{
    QObject hub;
    ItemModel model(&hub);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    for (int i = 0; i < 3; ++i)
        model.append(new Item(&hub));
    QSignalSpy spy(&model, &QAbstractItemModel::dataChanged);

    model.at(2)->updateLevelDb(-12.5);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toModelIndex().row(), 2);
    QCOMPARE(spy.at(0).at(1).toModelIndex().row(), 2);
    QCOMPARE(spy.at(0).at(2).value<QList<int>>(), QList<int>{260});
    QCOMPARE(model.data(model.index(2), 260).toDouble(), -12.5);
}

void TestObjectListModel::writesGoThroughToTheItem()
{
    QObject hub;
    ItemModel model(&hub);
    auto *item = new Item(&hub);
    model.append(item);
    QSignalSpy spy(&model, &QAbstractItemModel::dataChanged);

    QVERIFY(model.setData(model.index(0), 1.5, 259));
    QCOMPARE(item->volumeLevel(), 1.5);
    QCOMPARE(spy.count(), 1);
    // A read-only property and the object role cannot be written.
    QVERIFY(!model.setData(model.index(0), -3.0, 260));
    QVERIFY(!model.setData(model.index(0), QVariant(), 256));
    QVERIFY(!model.setData(model.index(5), 1.0, 259));
}

void TestObjectListModel::moveExchangesNeighbours()
{
    QObject hub;
    ItemModel model(&hub);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    Item *items[3];
    for (Item *&item : items) {
        item = new Item(&hub);
        model.append(item);
    }
    QSignalSpy spy(&model, &QAbstractItemModel::rowsMoved);

    model.move(0, 1); // down
    QCOMPARE(model.toList(), (QList<Item *>{items[1], items[0], items[2]}));
    model.move(2, 1); // up
    QCOMPARE(model.toList(), (QList<Item *>{items[1], items[2], items[0]}));
    model.move(2, 3); // past the end: ignored
    model.move(1, 1);
    QCOMPARE(spy.count(), 2);

    // After a move, changes are reported at the item's new row.
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
    items[0]->setStreamUrl(QStringLiteral("http://127.0.0.1/a"));
    QCOMPARE(changes.at(0).at(0).toModelIndex().row(), 2);
}

void TestObjectListModel::removeDisconnectsWithoutDeleting()
{
    QObject hub;
    ItemModel model(&hub);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QPointer<Item> kept = new Item(&hub);
    model.append(kept);
    model.append(new Item(&hub));
    QSignalSpy countSpy(&model, &QQmlObjectListModelBase::countChanged);
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);

    model.remove(0);
    model.remove(7);
    QCOMPARE(model.count(), 1);
    QCOMPARE(countSpy.count(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(kept);
    kept->setVolumeLevel(0.5);
    QCOMPARE(changes.count(), 0);

    model.clear();
    QVERIFY(model.isEmpty());
    QCOMPARE(countSpy.count(), 2);
    QCOMPARE(hub.findChildren<Item *>().size(), 2);
}

void TestObjectListModel::orphansAreAdoptedAndDeleted()
{
    ItemModel model;
    QPointer<Item> orphan = new Item;
    model.append(orphan);
    QCOMPARE(orphan->parent(), &model);
    model.remove(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!orphan);
}

void TestObjectListModel::deletedItemLeavesTheList()
{
    QObject hub;
    ItemModel model(&hub);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    auto *a = new Item(&hub);
    auto *b = new Item(&hub);
    model.append(a);
    model.append(b);
    delete a;
    QCOMPARE(model.count(), 1);
    QCOMPARE(model.at(0), b);
}

void TestObjectListModel::outOfRangeAccess()
{
    ItemModel model;
    QCOMPARE(model.at(-1), nullptr);
    QCOMPARE(model.at(0), nullptr);
    QCOMPARE(model.get(3), nullptr);
    QVERIFY(!model.data(model.index(0), 258).isValid());
}

QTEST_GUILESS_MAIN(TestObjectListModel)
#include "tst_qqmlobjectlistmodel.moc"
