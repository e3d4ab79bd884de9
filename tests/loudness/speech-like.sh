# speech_like OUT CHANNELS RATE BITS SECONDS SEED: a recording of speech made with espeak-ng:
# phrases of several voices at levels that jump by up to 8 dB, pauses of half a second to two
# seconds between them, room noise (pink, -60 dBFS) and mains hum under it all; stereo with the
# second channel a little quieter and later. Needs espeak-ng and sox.
speech_like() {
    local out=$1 channels=$2 rate=$3 bits=$4 seconds=$5 seed=$6 dir i=0 length=0
    local texts=("Good evening, and welcome to the programme." "Peter Piper picked a peck of pickled peppers!"
        "Please, put the big black box back by the door." "It was quiet. Then, suddenly, a bang." "Ten, nine, eight, seven, six, five."
        "Could you speak up a little? The microphone is quite far away." "Absolutely not! Stop that at once!")
    local voices=(en en+f3 en-us+m3 en+f2 en-us)
    dir=$(mktemp -d) || return 1
    while ((length < seconds * 10)); do
        local k=$(((seed + i) % ${#texts[@]})) level=$((-14 + (seed * 5 + i * 7) % 6)) pause=$((5 + (seed + i * 3) % 16))
        espeak-ng -v "${voices[(seed + i) % ${#voices[@]}]}" -s $((130 + (seed + i * 11) % 50)) -w "$dir/s.wav" "${texts[k]}" || return 1
        sox "$dir/s.wav" -r "$rate" "$dir/$(printf %04d $i).wav" gain "$level" pad 0 "0.$pause" || return 1
        length=$((length + $(soxi -D "$dir/$(printf %04d $i).wav" | awk '{ printf "%d", $1 * 10 }')))
        i=$((i + 1))
    done
    rm "$dir/s.wav"
    sox "$dir"/0*.wav "$dir/voice.wav" && local d; d=$(soxi -D "$dir/voice.wav") &&
        sox -n -r "$rate" -c 1 "$dir/room.wav" synth "$d" pinknoise gain -60 synth "$d" sine mix 50 gain -58 &&
        if ((channels == 1)); then
            sox -m "$dir/voice.wav" "$dir/room.wav" -b "$bits" "$out"
        else
            sox -m "$dir/voice.wav" "$dir/room.wav" "$dir/mono.wav" && sox "$dir/mono.wav" "$dir/late.wav" delay 0.0007 trim 0 "$d" gain -2 &&
                sox -M "$dir/mono.wav" "$dir/late.wav" -b "$bits" "$out"
        fi
    local status=$?
    rm -rf -- "$dir"
    return $status
}
