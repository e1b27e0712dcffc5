# Memory while distinct wrong cost-4 codes fill and churn the invalid bucket
# of the cache, sampled after a forced GC. blocks: how many blocks the data
# file holds; limit: the target line.
load chartdir."/common.gp"
set title "Memory while distinct wrong codes churn the cache (after forced GC)\n".subtitle
set xlabel "distinct wrong codes checked"
set ylabel "MiB"
set yrange [0:*]
set key inside right center box opaque
set xtics rotate by -30 left
set rmargin 6
set format x "%.0f"
plot for [i=0:blocks - 1] datafile index i using 1:2 with linespoints lt i + 2 title columnheader(1), \
     limit with lines dt 2 lc rgb "#555555" lw 1.5 title sprintf("target: capped RSS after 1,000 + 8 MiB (%.1f)", limit)
