#!/bin/sh
# Stand-in for the AP's LED script: records each LED code it is given.
echo "$*" >> /tmp/iface_led.log
