# Calls per second against calls in flight, one line per variant, with the
# floor's one- and two-thread rates for reference. linetypes: one per block.
load chartdir."/common.gp"
set title "Throughput against calls in flight, cost 12 (min-max of the window's parts)\n".subtitle
set xlabel "calls in flight"
set ylabel "calls per second"
set logscale x 2
set xrange [0.8:20]
set xtics (1, 2, 4, 8, 16)
set yrange [0:*]
plot for [i=0:words(linetypes) - 1] datafile index i using 1:2:3:4 with yerrorlines lt word(linetypes, i + 1) + 0 title columnheader(1), \
     floor2 with lines dt 2 lc rgb "#555555" lw 1.5 title sprintf("floor, 2 threads (%.2f/s)", floor2), \
     floor1 with lines dt 3 lc rgb "#555555" lw 1.5 title sprintf("floor, 1 thread (%.2f/s)", floor1)
