# Frames per second by payload size: the library's receive and send paths,
# the raw socket loops that make the same calls, and the peers.
#
#   gnuplot -e "datafile='DATA'; outfile='PNG'" bench/plot.gp
#
# DATA is written by bench/report.py; a peer that was
# not installed has "?" in its column and no line.
if (!exists("datafile")) datafile = 'build/bench/compare/throughput.dat'
if (!exists("outfile")) outfile = 'build/bench/compare/throughput.png'
if (!exists("subtitle")) subtitle = ''

set terminal pngcairo size 900,600 font "sans,10"
set output outfile
set title "Frames per second by payload size (log scale, higher is better)\n".subtitle
set xlabel "payload bytes per frame"
set ylabel "frames per second"
set logscale y
set yrange [1000:*]
set format y "%.0s%c"
set grid ytics mytics xtics
set key inside top right box opaque
set datafile missing "?"
set xrange [-0.3:4.3]
set offsets 0, 0, graph 0.05, graph 0.05

plot datafile using 1:3:xtic(2) with linespoints lw 2 pt 7 lc rgb "#1f6feb" title "kesu receive", \
     ''       using 1:4         with linespoints lw 2 pt 5 lc rgb "#0b8a3e" title "kesu send", \
     ''       using 1:5         with linespoints lw 1 dt 2 pt 6 lc rgb "#1f6feb" title "raw receive loop", \
     ''       using 1:6         with linespoints lw 1 dt 2 pt 4 lc rgb "#0b8a3e" title "raw write loop", \
     ''       using 1:7         with linespoints lw 1 dt 3 pt 4 lc rgb "#6e7781" title "raw write loop + queue", \
     ''       using 1:8         with linespoints lw 2 pt 9 lc rgb "#d1242f" title "ZeroMQ PUSH/PULL", \
     ''       using 1:9         with linespoints lw 2 pt 11 lc rgb "#8250df" title "D-Bus signals"
