# The GPIO cases, sourced by the guest's init: quorvane_gpio on the board's own GPIO controller,
# the PL061 of QEMU's virt board (/dev/gpiochip0, labelled 9030000.pl061, lines 0 to 7). Nothing
# is wired to its lines and none of them is pulled up, so a released line reads low: the wiring
# check must refuse every pair of lines, after clocking the bus free.
mount -t debugfs debugfs /sys/kernel/debug

# No udev here: the node stays as devtmpfs makes it, root's alone.
run gpio-as-user 0 $as_tester "exec /bin/quorvane_gpio -v"
run gpio-no-pull-up 0 /bin/quorvane_gpio -v
run gpio-chip-absent 0 env QUORVANE_GPIO=chip=/dev/gpiochip3 /bin/quorvane_gpio -v
run gpio-label-absent 0 env QUORVANE_GPIO=chip=pinctrl-rp1 /bin/quorvane_gpio -v
run gpio-line-beyond 0 env "QUORVANE_GPIO=chip=9030000.pl061;sda=4;scl=8" /bin/quorvane_gpio -v

# The board's power key, as its device tree declares it, takes line 3.
insmod /lib/modules/gpio_keys.ko
run gpio-line-taken 0 /bin/quorvane_gpio -v

# The group gpio, as Raspberry Pi OS's udev rule gives the node to it.
join_group gpio 997
chgrp gpio /dev/gpiochip0
chmod 0660 /dev/gpiochip0
run gpio-in-group-gpio 0 $as_tester "QUORVANE_GPIO='sda=5;scl=6' exec /bin/quorvane_gpio -v"

# Every refusal gave its lines back.
echo "@@held-by-quorvane $(grep -c '|quorvane ' /sys/kernel/debug/gpio)"
