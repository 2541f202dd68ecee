#include "vchub.h"

VCHub::VCHub(QObject *parent)
    : QObject(parent)
{}

VCHub::~VCHub() = default;
