#pragma once
#include "store.h"

// Fills an empty store with a demo organisation: groups two levels deep, five
// users (demo/demo among them), folders and twenty files, some with several versions.
bool seedDemo(Store &store, QString *error);

// Small but well-formed bodies of the common document kinds, keyed by extension.
QByteArray demoFileBody(const QString &ext, const QString &title, int version);
