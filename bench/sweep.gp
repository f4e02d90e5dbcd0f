# SPDX-License-Identifier: MIT
# Draws the sweep's data (written by `loadhog_bench sweep` in the build
# folder) as the two pictures in doc/. Run from the top of the repository.
set terminal svg size 760,460 dynamic font "sans,13" background "white"
set datafile missing "-"
set logscale xy
set grid
set key top left
set xlabel "busy threads (-c)"
set ylabel "seconds"
set xtics (100, 500, 1000, 2000, 5000, 10000)
set xrange [70:14000]

set output "doc/start-time.svg"
set title "Start: from exec to the end of a run with input at its end"
plot "build-bench/sweep-start.dat" using 1:2 with linespoints lw 2 pt 7 title "loadhog", \
     "" using 1:3 with linespoints lw 2 pt 5 title "plain start with default attributes"

set output "doc/key-to-exit.svg"
set title "Key to exit, -m 2048, load held 10 s unless named (2 cores)"
plot "build-bench/sweep-exit.dat" using 1:2 with linespoints lw 2 pt 7 title "may use the real-time class (root), key", \
     "" using 1:3 with linespoints lw 2 pt 5 title "ordinary user, key on its terminal", \
     "" using 1:5 with linespoints lw 2 pt 11 title "ordinary user, key, held 30 s", \
     "" using 1:6 with linespoints lw 2 pt 13 title "ordinary user, key, held 60 s", \
     "" using 1:4 with linespoints lw 2 pt 9 title "ordinary user, byte on a pipe from another session"
