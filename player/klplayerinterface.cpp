#include "klplayerinterface.h"

KLPlayerInterface::~KLPlayerInterface() = default;
