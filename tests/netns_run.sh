#!/bin/sh
# Runs a test program in fresh network and mount namespaces with loopback up.
# The daemon code keeps its fixed broker address (127.0.0.1:1883) and fixed
# file paths; the namespaces keep each test's broker and files to itself.
exec unshare --net --mount -- sh -c 'ip link set lo up && mount --make-rprivate / && exec "$@"' netns_run "$@"
