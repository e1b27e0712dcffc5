# Shared look of the benchmark charts. The driver (bench/run.js) sets
# chartdir, datafile, outfile and subtitle with -e before loading a chart script.
# Colours: floor grey, ours red (sync dark red, dashed), bcrypt blue,
# @node-rs/bcrypt green, bcryptjs orange.
set terminal svg size 900,520 dynamic noenhanced font "sans,12" background rgb "white"
set output outfile
set datafile missing "?"
set grid ytics lc rgb "#dddddd"
set border 3
set tics nomirror
set key outside right top vertical box
set linetype 1 lc rgb "#555555" lw 2 pt 7
set linetype 2 lc rgb "#d62728" lw 2 pt 5
set linetype 3 lc rgb "#1f77b4" lw 2 pt 9
set linetype 4 lc rgb "#2ca02c" lw 2 pt 11
set linetype 5 lc rgb "#ff7f0e" lw 2 pt 13
set linetype 6 lc rgb "#9467bd" lw 2 pt 3
set linetype 7 lc rgb "#8c1c13" lw 2 pt 7 dt 2
