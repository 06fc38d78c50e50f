#!/bin/sh
echo "$*" >> marks.txt
