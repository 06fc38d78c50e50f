#include "webmail/webmail_text.h"
