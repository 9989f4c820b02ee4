# The parallel port's cases, sourced by the guest's init: loads the parallel-port modules step by
# step and runs quorvane_unix and quorvane_ppdev in each case ppdev.awk judges.

insmod /lib/modules/parport.ko
insmod /lib/modules/parport_pc.ko
run ppdev-without-module 0 /bin/quorvane_ppdev -v
run unix-as-user 0 $as_tester "exec /bin/quorvane_unix -v"

insmod /lib/modules/ppdev.ko
# No udev here: the node stays as devtmpfs makes it, root's alone.
run unix-as-root 5 /bin/quorvane_unix -v
run ppdev-as-root 5 /bin/quorvane_ppdev -v
run ppdev-as-user 0 $as_tester "exec /bin/quorvane_ppdev -v"

# The printer group lp, which the user joins.
join_group lp 7
chgrp lp /dev/parport0
chmod 0660 /dev/parport0
run ppdev-in-group-lp 5 $as_tester "exec /bin/quorvane_ppdev -v"

# Two at once: while the first holds the port, a second one tries, in the background.
(
    sleep 3
    echo "@@active $(cat /proc/sys/dev/parport/parport0/devices/active)"
    run ppdev-second 0 /bin/quorvane_ppdev -v
) &
second=$!
run ppdev-holder 7 /bin/quorvane_ppdev -v
wait "$second"
