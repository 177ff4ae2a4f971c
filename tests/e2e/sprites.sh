# shellcheck shell=bash disable=SC2034  # used by the cases that source this
# Probe checks for the sprites the screens show, as sheet rectangle and screen
# position ("sprite:SX,SY,W,H:DX,DY"); sourced by the cases.
title_image_at_centre="sprite:0,40,60,40:295,220"
title_label="sprite:60,10,40,10:305,270"
smile_face="sprite:60,50,50,10:10,70"
first_counter_label="sprite:100,10,40,10:0,20"
second_counter_label="sprite:60,60,30,10:0,40"
gameover_image="sprite:0,80,70,20:285,230"
pause_label="sprite:80,80,80,20:285,230"
digit_zero_at() { echo "sprite:60,0,5,7:$1,$2"; }
point_glyph="sprite:110,0,5,7:50,50"
# The graze gauge's empty white frame in the right margin.
empty_gauge=("all:600,20,20,1:ffffff" "all:600,459,20,1:ffffff" "all:600,20,1,440:ffffff" "all:619,20,1,440:ffffff"
             "all:601,21,18,438:000000")
# Tracers are dark blue 3x3 squares, incoming bullets (and exit marks) dark red.
playfield_area="100,15,450,450"
tracers_on_screen="count:$playfield_area:000080:9"
incoming_on_screen="count:$playfield_area:800000:9"
# The title screen before any run: counters at zero, face, title panel, empty gauge.
title_screen=("$title_image_at_centre" "$title_label" "$smile_face" "$first_counter_label" "$second_counter_label"
              "$(digit_zero_at 0 30)" "$(digit_zero_at 45 30)" "$(digit_zero_at 0 50)" "$(digit_zero_at 45 50)"
              "$point_glyph" "$(digit_zero_at 55 50)" "$(digit_zero_at 60 50)" "${empty_gauge[@]}")
