#!/bin/sh
# Stand-in for the AP's link recovery script: records each request.
echo "disconnect.sh $*" >> /tmp/disconnect.log
