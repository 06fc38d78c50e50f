#!/bin/sh
env | grep ^NETROVE_ > dial.env
echo "$@" > dial.args
touch link.up
