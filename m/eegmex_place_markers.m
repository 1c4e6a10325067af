%EEGMEX_PLACE_MARKERS  The output rows of markers that come with times of their own.
%
%   R = eegmex_place_markers(T, markerTimes)
%
%   T holds the times of output rows as eegmex_decimate gives them (the
%   time of the last frame of each row's block, rising). Each marker goes
%   to the first row whose time is at or after the marker's time: the row
%   whose block holds the frame the marker falls on (a marker at a row's
%   own time belongs to that row). R(i) is that row's index into T, or 0
%   for a marker after the last row (keep it and place it with the next
%   rows). Markers before the first row go to row 1.
%
%   See also eegmex_decimate, docs/streams.md.
function R = eegmex_place_markers(T, markerTimes)
  T = double(T(:));
  R = zeros(size(markerTimes));
  for i = 1:numel(markerTimes)
    m = double(markerTimes(i));
    lo = 1;
    hi = numel(T) + 1;  % the first row at or after m lies in lo..hi (hi: none)
    while lo < hi
      mid = floor((lo + hi) / 2);
      if T(mid) >= m
        hi = mid;
      else
        lo = mid + 1;
      end
    end
    if lo <= numel(T)
      R(i) = lo;
    end
  end
end
