#include "webmail/favourites.h"
