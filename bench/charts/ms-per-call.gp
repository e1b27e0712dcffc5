# ms per call at cost 12, median with min-max bars: floor, ours, the peers.
load chartdir."/common.gp"
set title "ms per call, bcrypt cost 12 (median, min-max)\n".subtitle
set ylabel "ms per call"
set yrange [0:*]
set style data histogram
set style histogram errorbars gap 2 lw 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set xrange [-0.6:3.6]
plot datafile using 2:3:4:xtic(1) title columnheader(2) lt 1, \
     "" using 5:6:7 title columnheader(5) lt 2, \
     "" using 8:9:10 title columnheader(8) lt 3, \
     "" using 11:12:13 title columnheader(11) lt 4, \
     "" using 14:15:16 title columnheader(14) lt 5
