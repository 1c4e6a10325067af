function s = eegmex_structs(kind, c, n)
% EEGMEX_STRUCTS  Values of eegmex_formats, the module behind the readers, in the readers' shapes.
%   s = eegmex_structs('texts', joined, n): the n texts of one char row whose first character
%   separates them (it occurs in none), as a 1 x n cell.
%   s = eegmex_structs('markers', columns): a 1 x n struct array of markers (eegmex_vmrk).
%   s = eegmex_structs('events', columns): a 1 x n struct array of events (eegmex_edf).
%   Used by eegmex_vhdr, eegmex_vmrk, eegmex_edf and eegmex_events.
  if strcmp(kind, 'texts')
    if n == 0
      s = cell(1, 0);
    else
      s = regexp(c(2:end), c(1), 'split');
    end
    return;
  end
  n = numel(c.position);
  if strcmp(kind, 'markers')
    if n == 0
      s = struct('type', {}, 'description', {}, 'position', {}, 'points', {}, 'channel', {}, 'date', {});
      return;
    end
    s = struct('type', eegmex_structs('texts', c.type, n), ...
               'description', eegmex_structs('texts', c.description, n), ...
               'position', num2cell(c.position), 'points', num2cell(c.points), ...
               'channel', num2cell(c.channel), 'date', eegmex_structs('texts', c.date, n));
  else
    if n == 0
      s = struct('type', {}, 'onset', {}, 'duration', {}, 'text', {}, 'value', {}, 'position', {}, 'status', {});
      return;
    end
    types = {'annotation', 'status'};
    s = struct('type', types(c.status + 1), 'onset', num2cell(c.onset), 'duration', num2cell(c.duration), ...
               'text', eegmex_structs('texts', c.text, n), 'value', num2cell(c.value), ...
               'position', num2cell(c.position), 'status', num2cell(c.statusWord));
  end
end
