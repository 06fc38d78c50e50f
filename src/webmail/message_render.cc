#include "webmail/message_render.h"
