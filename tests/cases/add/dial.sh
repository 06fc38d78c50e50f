#!/bin/sh
printf %s "$NETROVE_PASSWORD" > password.seen
exit 1
