#!/bin/sh
rm -f link.up
echo hung >> hangup.done
