#include "qqmlobjectlistmodelbase.h"

void QQmlObjectListModelBase::onItemPropertyChanged()
{
    if (QObject *item = sender())
        itemPropertyChanged(item, senderSignalIndex());
}
