#include "platform/ssllibraries.h"
