#include "webmail/webmail_server.h"
