#!/bin/sh
test -e link.up
