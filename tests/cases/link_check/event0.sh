#!/bin/sh
echo fired >> event0.txt
