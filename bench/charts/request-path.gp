# Requests per second and p99 latency per request-path scenario, log scale.
load chartdir."/common.gp"
set title "Request path: node:http behind authMiddleware, cost-12 codes, 2 pool threads\n".subtitle
set ylabel "requests per second / p99 latency ms (log scale)"
set logscale y 10
set yrange [0.3:*]
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set xtics rotate by -25 left
set bmargin 9
plot datafile using 2:xtic(1) title columnheader(2) lt 2, \
     "" using 3 title columnheader(3) lt 3
