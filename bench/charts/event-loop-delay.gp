# Main-thread event-loop delay (p99) against calls in flight, log scale.
# linetypes: one per block of the data file.
load chartdir."/common.gp"
set title "Main-thread event-loop delay p99 against calls in flight, cost 12\n".subtitle
set xlabel "calls in flight"
set ylabel "event-loop delay p99 (ms, log scale)"
set logscale x 2
set logscale y 10
set xrange [0.8:20]
set xtics (1, 2, 4, 8, 16)
plot for [i=0:words(linetypes) - 1] datafile index i using 1:6 with linespoints lt word(linetypes, i + 1) + 0 title columnheader(1), \
     target with lines dt 2 lc rgb "#555555" lw 1.5 title sprintf("target p99 %g ms", target)
