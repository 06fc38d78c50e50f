#include "webmail/template_engine.h"
