#!/bin/sh
sleep 300 &
echo $! > child.pid
wait
